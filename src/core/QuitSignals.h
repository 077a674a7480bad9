// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <functional>
#include <initializer_list>

// Termination signals (SIGTERM, SIGINT, SIGHUP, …) as calls on the event loop, so that a program asked
// to stop can quit normally and let its destructors remove what they made. The handler only writes the
// signal's number into a pipe; a socket notifier on the main thread reads it and calls onSignal there.
// After the first arrival of a signal its default action is back, so a second one ends the process at
// once even when the orderly way out hangs.
namespace QuitSignals {

// Watches these signals from now on; onSignal runs on context's thread while context lives. Call once,
// from the main thread, after the application object exists. False when the pipe or a handler could
// not be set up (the signals then keep their default action).
bool watch(std::initializer_list<int> numbers, QObject* context, std::function<void(int signal)> onSignal);

} // namespace QuitSignals
