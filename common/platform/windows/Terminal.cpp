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

// Started from Explorer or a shortcut, the console lists this process alone
// and its empty black window would stand beside the program's own: let it
// go. Started from cmd or PowerShell, the shell is listed as well.
void leaveOwnConsole() {
  DWORD processes[2];
  if (::GetConsoleProcessList(processes, 2) == 1) ::FreeConsole();
}

}  // namespace platform
