// SPDX-License-Identifier: GPL-3.0-or-later
// Adds the files of a folder to a work list kept in a catalogue, then types the content of one after
// the other, through the model as the detail pane does, and prints each edit as it is made: "MS N", MS
// the wall clock in milliseconds since the epoch and N the file's number (its name); the content typed
// is "手写 N". TestCatalogueLink kills it with SIGKILL somewhere in the burst.
//   edit_burst_child SETTINGS CATALOGUE FOLDER

#include "core/AppModel.h"
#include "naming/NameBuilder.h"
#include "support/ImportWait.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    AppModel model(QFile::decodeName(argv[1]), AppModel::Storage { argv[2], true });
    if (!importAndWait(model, { argv[3] }))
        return 1;
    qsizetype next = 0;
    QTimer burst;
    QObject::connect(&burst, &QTimer::timeout, &app, [&] {
        if (next == model.items().size()) {
            burst.stop();
            return;
        }
        const QUuid id = model.items().at(next).id;
        const int number = std::stoi(model.items().at(next++).url.stem());
        model.mutateItem(id, [&](VideoItem& item) {
            item.content = QStringLiteral("手写 %1").arg(number);
            item.contentByHand = item.hasTypedName = true;
            item.nameByHand = false;
            item.proposedName = NameBuilder::build(item, model.settings());
        });
        std::printf("%lld %d\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()), number);
        std::fflush(stdout);
    });
    burst.start(40);
    return app.exec();
}
