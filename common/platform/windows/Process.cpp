#include <platform/Process.h>

#include <QByteArray>
#include <QtGlobal>

#include <cstdio>

#include <windows.h>

namespace platform {

// No machine code for Qt's regular expressions: with mingw-w64 the
// per-thread stack that code runs on is freed wrongly when its thread ends
// (thread_local destructors), and the line database's thread matches
// patterns, so the process crashed at its end and lost its exit status.
void prepareProcess() { qputenv("QT_ENABLE_REGEXP_JIT", "0"); }

int endProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::TerminateProcess(::GetCurrentProcess(), UINT(status));
  return status;  // not reached
}

}  // namespace platform
