// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QWidget;

// Desktop notifications through the freedesktop notification service on the session bus. Clicking one
// raises the window. Without a bus or a service, nothing shows and nothing fails. Main thread.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifier(QWidget* window);

    void notify(const QString& summary);

private slots:
    void actionInvoked(uint id, const QString& action);

private:
    QWidget* m_window;
    uint m_lastId = 0;
};
