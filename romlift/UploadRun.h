#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include <cli/CommandLine.h>

class RomliftSession;

// romlift from a script: --upload FILE.s19 checks the file, waits for the
// boot loader, uploads and ends with an exit status; --list-ports, --help and
// --version. No widgets: a --window run gets them from the program.
namespace UploadRun {

// What a --window run takes from the window library: its application, and
// the window over the run's session, loaded with the run's file and shown.
struct Window {
  cli::WindowApplication application;
  std::function<std::unique_ptr<QObject>(RomliftSession&)> open;
};

int main(int argc, char** argv, const Window& window);

}  // namespace UploadRun
