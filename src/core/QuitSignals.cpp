// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/QuitSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int s_pipe[2] = { -1, -1 };

void onSignal(int signal)
{
    const int saved = errno;
    // Only async-signal-safe calls here: back to the default action, then one byte into the pipe.
    struct sigaction fallback
    { };
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &number, 1);
    errno = saved;
}

} // namespace

namespace QuitSignals {

bool watch(std::initializer_list<int> numbers, QObject* context, std::function<void(int)> handler)
{
    if (s_pipe[0] < 0 && ::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto* notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler = std::move(handler)] {
        unsigned char number = 0;
        while (::read(s_pipe[0], &number, 1) == 1)
            handler(number);
    });
    bool installed = true;
    for (const int signal : numbers) {
        struct sigaction action
        { };
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        installed = ::sigaction(signal, &action, nullptr) == 0 && installed;
    }
    return installed;
}

} // namespace QuitSignals
