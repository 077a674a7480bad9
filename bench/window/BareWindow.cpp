// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick of the start-up benchmark: a bare QMainWindow with a toolbar and a label, built
// against the same Qt, reporting like velmora's start-up probe once it is shown and painted.

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(1000, 680);
    QToolBar* bar = window.addToolBar(QStringLiteral("main"));
    for (const char* label : { "赞助作者", "添加文件", "添加文件夹", "设置", "引导", "处理对象", "分析全部",
             "执行重命名", "撤销" })
        bar->addAction(QString::fromUtf8(label));
    window.setCentralWidget(new QLabel(QStringLiteral("把视频文件或文件夹拖到这里")));
    window.show();
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [&window, poll] {
        if (!window.windowHandle() || !window.windowHandle()->isExposed())
            return;
        poll->stop();
        window.update();
        QTimer::singleShot(0, [] {
            QTimer::singleShot(0, [] {
                std::fprintf(stderr, "probe painted 1\n");
                std::fflush(stderr);
                ::_exit(0);
            });
        });
    });
    poll->start(1);
    return QApplication::exec();
}
