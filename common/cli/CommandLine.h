#pragma once

#include <QCommandLineParser>
#include <QHash>
#include <QString>
#include <QStringList>

#include <serial/LineSpeed.h>
#include <serial/PortChoice.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QCoreApplication;

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 64;
constexpr int kExitInterrupted = 130;
// A --window run shows its end this long (to be seen, or photographed by
// the demo) before the window closes.
constexpr auto kWindowLinger = std::chrono::milliseconds{1500};

// A command-line run needs no display: it runs on a QCoreApplication, and
// only a --window run gets the widget application that makeWindow builds.
using WindowApplication = std::unique_ptr<QCoreApplication> (*)(int& argc, char** argv);
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, WindowApplication makeWindow);

// Whether the arguments ask for a command-line run: any long option that is
// not one of the toolkit's own (-style, --platform, -session ...), or -h.
// Those alone, or none, start the window.
bool isCommandLineRun(int argc, char** argv);

// Nothing when path names a regular file or nothing at all (the run reports
// a missing file as the window would); otherwise why it cannot be read as
// one: a device, a FIFO or standard input would block or never end.
std::optional<QString> notRegularFile(const QString& path);

template <typename App>
std::unique_ptr<QCoreApplication> windowApplication(int& argc, char** argv) {
  return std::make_unique<App>(argc, argv);
}

using PortChoice = ::PortChoice;

// The options both programs share (--port, --device, --speed, --list-ports,
// --help, --version); each program adds its own before parse().
class CommandLine {
 public:
  CommandLine(const QString& description, const QString& versionLine);

  QCommandLineParser& parser() { return parser_; }
  const QCommandLineParser& parser() const { return parser_; }

  // Parses the arguments. Returns an exit status when the run ends here
  // (help, version, a usage error), else nothing.
  std::optional<int> parse(const QStringList& arguments);
  // One line with the message, then the usage, on standard error; 64.
  int usageError(const QString& message) const;
  // The lines --help prints under "Exit status:" after the options
  // (exitStatusLines of CommandRun.h makes them).
  void setExitStatuses(const QStringList& lines) { exitStatuses_ = lines; }
  // --name=VALUE as well as --name for a flag option; value() gives VALUE
  // (empty without one). A separate argument is never taken as the value.
  void allowOptionalValue(const QString& name) { optionalValues_.insert(name, QString()); }
  QString optionalValue(const QString& name) const { return optionalValues_.value(name); }

  bool listPorts() const { return parser_.isSet(QStringLiteral("list-ports")); }
  const PortChoice& port() const { return port_; }

  // --ports LIST and --devices PATH[=SERIAL],...: one unit per port at once. Added
  // by a program that runs them; gangPorts() is empty without them, else each
  // slot's port (with --speed), in port order for numbers.
  void addSlotOptions();
  const std::vector<PortChoice>& gangPorts() const { return gangPorts_; }
  // "1,3,5-8": the numbers 1..16, each once, in ascending order; nothing
  // when the text is no such list.
  static std::optional<std::vector<std::uint8_t>> portList(const QString& text);

  // A whole decimal number in min..max, or nothing.
  static std::optional<long> wholeNumber(const QString& text, long min, long max);

 private:
  QCommandLineParser parser_;
  QString versionLine_;
  PortChoice port_;
  bool slotOptions_ = false;
  std::vector<PortChoice> gangPorts_;
  QStringList exitStatuses_;
  QHash<QString, QString> optionalValues_;
};

}  // namespace cli
