#pragma once

#include <QCoreApplication>
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

class StopSignal;

namespace cli {

// One line of --help's exit-status list: the status ("0", "128+N") and its
// meaning, whose continued lines are joined by '\n'.
struct ExitStatus {
  QString status;
  QString meaning;
};
using ExitStatusTable = QList<ExitStatus>;
// The list as --help prints it: the meaning in a column of its own.
QStringList exitStatusLines(const ExitStatusTable& statuses);

// What every command-line run of either program shares: the application,
// the options common to both, --help with the program's exit statuses,
// --list-ports, the program folder, the run's records, the stop requests,
// standard error and, for a --window run, the event loop and the linger.
class CommandRun {
 public:
  // Builds the application (a widget one only for --window, through
  // makeWindow); sets the application name, and the display name when one
  // is given.
  CommandRun(int& argc, char** argv, WindowApplication makeWindow, const QString& programName,
             const QString& displayName, const QString& description, const QString& versionLine);
  ~CommandRun();

  // The program adds its own options before parse().
  CommandLine& line() { return line_; }
  // --window, --records and --database, with each program's help texts.
  void addRunOptions(const QString& windowHelp, const QString& recordsHelp, const QString& databaseHelp);
  // Parses; --help (with the exit statuses), --version, usage errors and
  // --list-ports end the run here with their status.
  std::optional<int> parse(const ExitStatusTable& statuses);

  // The title of the program's message boxes.
  QString displayName() const { return displayName_; }
  QString folder() const { return folder_; }
  QString iniPath() const;
  bool windowed() const;
  // setup.ini's records, with --records and --database on top.
  ProductionConfig production() const;
  Console& console() { return console_; }
  // "<program>: text" on standard error.
  MessageSink errors() const;

  // Stop requests (Ctrl+C, SIGTERM, SIGHUP): onStop runs at the first; a
  // second ends the process at once.
  void onStop(std::function<void()> onStop);
  // 128 + the number of the first stop request's signal, or 0.
  int stopStatus() const;

  // A --window run: body runs from the event loop, the window stays for
  // kWindowLinger, then the application quits. Otherwise body runs at once.
  void execute(const std::function<void()>& body);

 private:
  std::unique_ptr<QCoreApplication> app_;
  QString programName_;
  QString displayName_;
  CommandLine line_;
  QString folder_;
  Console console_;
  std::unique_ptr<StopSignal> stop_;
};

}  // namespace cli
