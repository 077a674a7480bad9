// SPDX-License-Identifier: GPL-3.0-or-later
// Starts an analysis of one file and quits the program while its pictures are being decoded, as a
// window closed in the middle of a run does. For TestDecoderPool.
//   decoder_quit_child FILE SETTINGS

#include "core/AppModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    auto* model = new AppModel(QFile::decodeName(argv[2]));
    model->settings().mediaTargetRaw = QStringLiteral("both");
    QObject::connect(model, &AppModel::importFinished, model, [model, &app] {
        model->analyzeAll();
        QTimer::singleShot(300, &app, [&app, model] {
            delete model;
            app.quit();
        });
    });
    model->addFiles({ std::filesystem::path(argv[1]) });
    return app.exec();
}
