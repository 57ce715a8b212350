#pragma once

namespace platform {

// Whether standard output goes to a terminal, where a progress line can be
// redrawn in place.
bool standardOutputIsTerminal();

// A reader of standard output that goes away (calvboot ... | head) makes
// later writes fail instead of ending the process.
void ignoreLostOutputReader();

// A window started without options gives up a console that was made for it
// alone (on Windows, a console program started from the desktop gets one);
// a console it shares with a shell stays, for the lines it writes there.
void leaveOwnConsole();

}  // namespace platform
