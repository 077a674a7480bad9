// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class AppModel;
class QMainWindow;

// Measurements for the window benchmark (bench/window), switched on by the environment variable
// VELMORA_PROBE and otherwise inert. Each mode reports "probe <what> <value>" lines on standard error
// and ends the program:
//   startup   once the main window has been shown and painted, with the number of rows listed and
//             of those analysed
//   import    once the import of the command-line paths is in the list and painted: the longest
//             stall of the event loop meanwhile (ms) and the peak resident memory (kB)
//   analyze   after analysing everything imported: resident memory at 500 analysed items and at the
//             end, and the longest stall of the event loop during the run
//   close     closes the main window while the run is busy (after the first item), as a user would
namespace Probe {

void install(AppModel& model, QMainWindow& window);

} // namespace Probe
