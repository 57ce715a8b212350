#pragma once

#include <QString>

#include <cli/CommandLine.h>
#include <programming/ProgramModule.h>
#include <serial/LineSpeed.h>

#include <functional>
#include <memory>
#include <optional>

class CalvSession;

// calvboot from a script: --program FILE.ldr runs one pass as "Start" does
// and ends with an exit status; --list-ports, --help and --version.
namespace ProgramRun {

// A --window run shows the pass in the main window over the run's session.
// The program, which links the widgets, builds it.
class WindowRun {
 public:
  virtual ~WindowRun() = default;
  // Start-up without storing anything, then the run's port, speed and file;
  // the window is shown.
  virtual void prepare(std::uint8_t comPort, LineSpeed speed, const QString& file) = 0;
  // Ticks "Log to File".
  virtual void setLogOn() = 0;
  // "Start"; production messages go to message.
  virtual std::optional<ProgramResult> start(const std::function<void(const QString&)>& message) = 0;
  virtual QString statusText() const = 0;
};
using WindowRunMaker = std::function<std::unique_ptr<WindowRun>(CalvSession&)>;

// Creates the application itself (a widget one through makeApplication only
// for --window). Returns the exit status.
int main(int argc, char** argv, cli::WindowApplication makeApplication, const WindowRunMaker& makeWindow);

}  // namespace ProgramRun
