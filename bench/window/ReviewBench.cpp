// SPDX-License-Identifier: GPL-3.0-or-later
// Review benchmark: the main window over a long list, offscreen, with what a reviewer does most.
//
//   bench_review [--items N]
//
//   search     each keystroke of a search typed into the field, filtered and painted (target: at most
//              100 ms per keystroke with 10,000 items)
//   sort       the list sorted by capture time and painted (target: at most 200 ms)
//
// Exit status 1 when a target is missed.

#include "core/AppModel.h"
#include "support/ImportWait.h"
#include "ui/main/MainWindow.h"
#include "ui/widgets/ItemListView.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>

using namespace Qt::StringLiterals;

namespace {

// Time from a change to the list painted with it.
template <typename Change> double paintedAfter(MainWindow& window, Change change)
{
    QElapsedTimer clock;
    clock.start();
    change();
    window.listView()->viewport()->repaint();
    QCoreApplication::processEvents();
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    int count = 10'000;
    const QStringList args = app.arguments();
    if (const qsizetype at = args.indexOf(u"--items"_s); at >= 0 && at + 1 < args.size())
        count = std::max(1, args.at(at + 1).toInt());

    QTemporaryDir dir;
    std::vector<std::filesystem::path> paths;
    for (int i = 0; i < count; ++i) {
        const std::filesystem::path path
            = std::filesystem::path(dir.path().toStdString()) / ("DJI_" + std::to_string(20000 + i) + ".mp4");
        std::ofstream(path).put('\0');
        paths.push_back(path);
    }
    AppModel model(dir.filePath(u"settings.json"_s));
    model.settings().mediaTargetRaw = u"both"_s;
    if (!importAndWait(model, paths)) {
        std::fprintf(stderr, "import did not finish\n");
        return 2;
    }
    // Analysed items with contents, places and shuffled dates, as a review sees them.
    const QStringList contents { u"古镇石桥流水"_s, u"茶楼喝茶"_s, u"海边日落"_s, u"孩童嬉戏"_s };
    for (qsizetype i = 0; i < model.items().size(); ++i) {
        model.mutateItem(model.items().at(i).id, [&](VideoItem& item) {
            item.status = VideoItem::Status::Analyzed;
            item.content = contents.at(i % contents.size());
            item.location = u"上里古镇"_s;
            item.proposedName = u"2026-02-08_上里古镇_"_s + item.content;
            item.creationDate = QDateTime(QDate(2020, 1, 1), QTime(0, 0)).addSecs((i * 7919) % 100'000'000);
        });
    }
    MainWindow window(model);
    window.show();
    QCoreApplication::processEvents();

    double worstKey = 0;
    QString typed;
    for (const QChar c : u"茶楼 dji_2 1"_s) {
        typed += c;
        worstKey = std::max(worstKey, paintedAfter(window, [&] { window.searchField()->setText(typed); }));
    }
    for (qsizetype n = typed.size() - 1; n >= 0; --n) // and deleted again, one key at a time
        worstKey
            = std::max(worstKey, paintedAfter(window, [&] { window.searchField()->setText(typed.left(n)); }));
    const double sort = paintedAfter(window, [&] { window.orderBox()->setCurrentIndex(1); });

    std::printf("items                %d\n", int(model.items().size()));
    std::printf("search, worst key    %.1f ms (target 100)\n", worstKey);
    std::printf("sort by capture time %.1f ms (target 200)\n", sort);
    return worstKey <= 100 && sort <= 200 ? 0 : 1;
}
