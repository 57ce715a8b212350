#pragma once

namespace platform {

// Whether standard output goes to a terminal, where a progress line can be
// redrawn in place.
bool standardOutputIsTerminal();

// A reader of standard output that goes away (calvboot ... | head) makes
// later writes fail instead of ending the process.
void ignoreLostOutputReader();

}  // namespace platform
