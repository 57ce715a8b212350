#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include <platform/MessageSink.h>
#include <production/Production.h>

#include "CommandLine.h"
#include "Console.h"

class QCoreApplication;
namespace platform {
class StopRequests;
}

namespace cli {

// One line of --help's exit statuses: "0", "128+N"; the meaning's continued
// lines joined by '\n'.
struct ExitStatus {
  QString status;
  QString meaning;
};
using ExitStatusTable = QList<ExitStatus>;

// The lines --help prints under "Exit status:": the status column as wide as
// the widest status and two blanks, continued lines indented to the text.
QStringList exitStatusLines(const ExitStatusTable& statuses);

// What every command-line run of both programs shares, from the application
// to the exit: the options, help and version, the settings folder, the
// record options, console output, stop requests, and the --window run's
// event loop. The program adds its own options and runs its session in
// execute(); nothing here is process-wide but the stop request itself.
class CommandRun {
 public:
  // Builds the application (a widget one only for --window, through
  // makeWindow; none in a copy built without windows); sets the
  // application name and display name.
  CommandRun(int& argc, char** argv, WindowApplication makeWindow, const QString& programName,
             const QString& displayName, const QString& description, const QString& versionLine);
  ~CommandRun();
  CommandRun(const CommandRun&) = delete;
  CommandRun& operator=(const CommandRun&) = delete;

  // Add the program's own options before parse().
  CommandLine& line() { return line_; }
  const CommandLine& line() const { return line_; }
  // The options every run shares (--window, --records, --database), with
  // each program's help texts, after the program's own.
  void addRunOptions(const QString& windowHelp, const QString& recordsHelp, const QString& databaseHelp);
  // Parses; --help (with the table's list), --version, usage errors and
  // --list-ports end the run here with their exit status.
  std::optional<int> parse(const ExitStatusTable& statuses);

  // SettingsFolder::forProgram(programName), decided by parse().
  QString folder() const { return folder_; }
  QString iniPath() const;
  bool windowed() const;  // --window
  // setup.ini's record settings, with --records / --database on top.
  ProductionConfig production() const;

  // Made at the first call, so its seconds count from there.
  Console& console();
  // "<programName>: text" on standard error.
  MessageSink errors() const;
  // A message box as a line: "<displayName>: text" on standard error.
  MessageSink boxes() const;

  // Installs the stop requests (Ctrl+C, SIGTERM, SIGHUP); onStop runs at the
  // first. Only the first call installs them.
  void onStop(std::function<void()> onStop);
  // 128+N of the first stop request, or 0.
  int stopStatus() const;

  // A --window run: body runs from the event loop, then the window lingers
  // kWindowLinger and the application quits. Otherwise body runs at once.
  void execute(const std::function<void()>& body);

 private:
  std::unique_ptr<QCoreApplication> app_;  // first: everything below lives inside it
  bool hasWindow_;
  QString programName_;
  QString displayName_;
  CommandLine line_;
  bool runOptions_ = false;
  QString folder_;
  std::optional<Console> console_;
  std::unique_ptr<platform::StopRequests> stop_;
};

}  // namespace cli
