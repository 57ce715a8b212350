#include <platform/Terminal.h>

#include <windows.h>

namespace platform {

// Only a console can have a progress line redrawn in place; a pipe, a file
// or NUL (a character device, which _isatty() takes for a terminal) cannot.
bool standardOutputIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// Nothing to do: Windows has no SIGPIPE; a write to a pipe whose reader went
// away fails and the process goes on.
void ignoreLostOutputReader() {}

}  // namespace platform
