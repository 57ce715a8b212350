#include <platform/Terminal.h>

#include <csignal>

#include <unistd.h>

namespace platform {

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void ignoreLostOutputReader() { std::signal(SIGPIPE, SIG_IGN); }

// A terminal is never made for a program here.
void leaveOwnConsole() {}

}  // namespace platform
