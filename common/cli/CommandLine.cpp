#include "CommandLine.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <platform/Files.h>
#include <platform/Terminal.h>

namespace cli {

namespace {
// The toolkit's own arguments: those that take a value (as the next argument
// or after "="), and flags. Either spelling, -style or --style.
constexpr std::string_view kToolkitValueOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon", "qwindowtitle",
    "session", "display", "geometry", "name", "title", "visual", "style", "stylesheet"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability",
                                              "qmljsdebugger"};

bool listed(const auto& names, std::string_view name) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}
}  // namespace

bool isCommandLineRun(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h") return true;
    if (!arg.starts_with('-')) continue;
    const bool longForm = arg.starts_with("--");
    std::string_view name = arg.substr(longForm ? 2 : 1);
    const auto equals = name.find('=');
    name = name.substr(0, equals);
    if (listed(kToolkitValueOptions, name)) {
      if (equals == std::string_view::npos) ++i;
    } else if (!listed(kToolkitFlags, name) && longForm) {
      // Any other long option is meant for a run, a misspelt one too: a
      // script gets its usage error rather than a window.
      return true;
    }
  }
  return false;
}

std::optional<QString> notRegularFile(const QString& path) {
  std::error_code error;
  // Follows links as opening does (/dev/stdin is one).
  const auto status = std::filesystem::status(QFile::encodeName(path).toStdString(), error);
  if (std::filesystem::is_regular_file(status)) return std::nullopt;
  if (error || status.type() == std::filesystem::file_type::not_found) {
    // Windows' device names (NUL, CON, COM1.ldr) name no file to the
    // standard library; the platform's open knows them, and never waits.
    if (platform::openRegular({}, path, platform::OpenMode{}).failure() != platform::File::Failure::NotRegular)
      return std::nullopt;
  }
  return QStringLiteral("%1 is not a regular file").arg(path);
}

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, WindowApplication makeWindow) {
  // A reader of standard output that went away (calvboot ... | head) must not
  // end the run between two frames, the module left in boot mode; the lines
  // that cannot be written are lost, the run and its exit status are not.
  platform::ignoreLostOutputReader();
  bool window = false;
  for (int i = 1; i < argc; ++i) window = window || std::strcmp(argv[i], "--window") == 0;
  if (window && makeWindow) return makeWindow(argc, argv);
  return std::make_unique<QCoreApplication>(argc, argv);
}

CommandLine::CommandLine(const QString& description, const QString& versionLine) : versionLine_(versionLine) {
  parser_.setApplicationDescription(description);
  parser_.addOptions({
      {QStringLiteral("port"), QStringLiteral("Serial port number COM<N>, 1..16 (this run only)."),
       QStringLiteral("N")},
      {QStringLiteral("device"), QStringLiteral("Serial device path instead of a port number (this run only)."),
       QStringLiteral("PATH")},
      {QStringLiteral("speed"), QStringLiteral("Line speed: 9600, 57600 or 115200 (this run only)."),
       QStringLiteral("BAUD")},
      {QStringLiteral("list-ports"), QStringLiteral("List COM1..COM16, their devices and whether they are free.")},
      {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")},
      {QStringLiteral("version"), QStringLiteral("Show the version.")},
  });
}

void CommandLine::addSlotOptions() {
  parser_.addOptions({
      {QStringLiteral("ports"),
       QStringLiteral("Run one unit on each of these port numbers at once, e.g. 1,3,5-8 (this run only)."),
       QStringLiteral("LIST")},
      {QStringLiteral("devices"),
       QStringLiteral("Run one unit on each of these devices at once (comma-separated); PATH=SERIAL runs a slot "
                      "only on the adapter with that USB serial number."),
       QStringLiteral("PATH[=SERIAL],...")},
  });
  slotOptions_ = true;
}

std::optional<std::vector<std::uint8_t>> CommandLine::portList(const QString& text) {
  std::vector<bool> seen(17, false);
  for (const QString& item : text.split(u',')) {
    const QStringList ends = item.split(u'-');
    if (ends.size() > 2) return std::nullopt;
    const auto first = wholeNumber(ends.first(), 1, 16);
    const auto last = wholeNumber(ends.last(), 1, 16);
    if (!first || !last || *first > *last) return std::nullopt;
    for (long n = *first; n <= *last; ++n) {
      if (seen[std::size_t(n)]) return std::nullopt;
      seen[std::size_t(n)] = true;
    }
  }
  std::vector<std::uint8_t> ports;
  for (std::uint8_t n = 1; n <= 16; ++n)
    if (seen[n]) ports.push_back(n);
  return ports;
}

std::optional<long> CommandLine::wholeNumber(const QString& text, long min, long max) {
  bool ok = false;
  const long value = text.trimmed().toLong(&ok, 10);
  if (!ok || value < min || value > max) return std::nullopt;
  return value;
}

int CommandLine::usageError(const QString& message) const {
  std::fprintf(stderr, "%s: %s\n%s", qPrintable(QCoreApplication::applicationName()), qPrintable(message),
               qPrintable(parser_.helpText()));
  return kExitUsage;
}

std::optional<int> CommandLine::parse(const QStringList& arguments) {
  QStringList args;
  for (const QString& argument : arguments) {
    args << argument;
    for (auto it = optionalValues_.begin(); it != optionalValues_.end(); ++it) {
      const QString option = QStringLiteral("--") + it.key();
      if (argument.startsWith(option + u'=')) {
        it.value() = argument.mid(option.size() + 1);
        args.last() = option;
      }
    }
  }
  if (!parser_.parse(args)) return usageError(parser_.errorText());
  if (parser_.isSet(QStringLiteral("help"))) {
    std::printf("%s", qPrintable(parser_.helpText()));
    if (!exitStatuses_.isEmpty())
      std::printf("\nExit status:\n%s\n", qPrintable(exitStatuses_.join(u'\n')));
    return kExitOk;
  }
  if (parser_.isSet(QStringLiteral("version"))) {
    std::printf("%s\n", qPrintable(versionLine_));
    return kExitOk;
  }
  if (!parser_.positionalArguments().isEmpty())
    return usageError(QStringLiteral("unexpected argument '%1'").arg(parser_.positionalArguments().first()));

  const bool byNumber = parser_.isSet(QStringLiteral("port"));
  const bool byDevice = parser_.isSet(QStringLiteral("device"));
  if (byNumber && byDevice) return usageError(QStringLiteral("--port and --device exclude each other"));
  if (byNumber) {
    const auto n = wholeNumber(parser_.value(QStringLiteral("port")), 1, 16);
    if (!n) return usageError(QStringLiteral("--port takes a number from 1 to 16"));
    port_.comPort = std::uint8_t(*n);
  }
  if (byDevice) {
    port_.device = parser_.value(QStringLiteral("device"));
    if (port_.device.isEmpty()) return usageError(QStringLiteral("--device takes a path"));
  }
  if (parser_.isSet(QStringLiteral("speed"))) {
    const auto speed = LineSpeed::fromText(parser_.value(QStringLiteral("speed")));
    if (!speed) return usageError(QStringLiteral("--speed takes 9600, 57600 or 115200"));
    port_.speed = *speed;
  }
  if (slotOptions_) {
    const bool byNumbers = parser_.isSet(QStringLiteral("ports"));
    const bool byDevices = parser_.isSet(QStringLiteral("devices"));
    if ((byNumbers || byDevices) && (byNumber || byDevice))
      return usageError(QStringLiteral("--ports and --devices exclude --port and --device"));
    if (byNumbers && byDevices) return usageError(QStringLiteral("--ports and --devices exclude each other"));
    if (byNumbers) {
      const auto numbers = portList(parser_.value(QStringLiteral("ports")));
      if (!numbers)
        return usageError(QStringLiteral("--ports takes port numbers from 1 to 16 and ranges, each once: 1,3,5-8"));
      for (const std::uint8_t n : *numbers) gangPorts_.push_back({n, QString(), port_.speed, {}});
    }
    if (byDevices) {
      QStringList seen;
      for (const QString& item : parser_.value(QStringLiteral("devices")).split(u',')) {
        // Split at the first '=': the kernel's device names and the
        // /dev/serial/by-path names have none, a serial number may.
        const qsizetype split = item.indexOf(u'=');
        const QString device = split < 0 ? item : item.left(split);
        const QString serial = split < 0 ? QString() : item.mid(split + 1);
        if (device.isEmpty() || seen.contains(device) || (split >= 0 && serial.isEmpty()))
          return usageError(
              QStringLiteral("--devices takes device paths separated by commas, each once, as PATH or PATH=SERIAL"));
        seen << device;
        gangPorts_.push_back({0, device, port_.speed, serial});
      }
    }
  }
  return std::nullopt;
}

}  // namespace cli
