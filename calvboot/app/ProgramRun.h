#pragma once

// calvboot from a script: --program FILE.ldr runs one pass as "Start" does
// and ends with an exit status; --list-ports, --help and --version. Creates
// the application itself (offscreen unless --window). Returns the exit status.
namespace ProgramRun {

constexpr int kExitFault = 1;
constexpr int kExitTimeout = 2;
constexpr int kExitPort = 3;
constexpr int kExitCrcMismatch = 5;
// The production line's database could not be reached: nothing was sent.
constexpr int kExitDatabase = 6;

int main(int argc, char** argv);

}  // namespace ProgramRun
