#pragma once

// romlift from a script: --upload FILE.s19 checks the file, waits for the
// boot loader, uploads and ends with an exit status; --list-ports, --help and
// --version. Creates the application itself (offscreen unless --window).
namespace UploadRun {

constexpr int kExitFailed = 1;
constexpr int kExitWrongFile = 2;
constexpr int kExitPort = 3;
constexpr int kExitNoBootLoader = 4;
constexpr int kExitNotValid = 5;

int main(int argc, char** argv);

}  // namespace UploadRun
