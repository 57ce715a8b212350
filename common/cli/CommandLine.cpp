#include "CommandLine.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace cli {

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, WindowApplication makeWindow) {
  bool window = false;
  for (int i = 1; i < argc; ++i) window = window || std::strcmp(argv[i], "--window") == 0;
  if (window) return makeWindow(argc, argv);
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
  if (!parser_.parse(arguments)) return usageError(parser_.errorText());
  if (parser_.isSet(QStringLiteral("help"))) {
    std::printf("%s", qPrintable(parser_.helpText()));
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
    const QString speed = parser_.value(QStringLiteral("speed")).trimmed();
    if (speed == u"9600") port_.speedCode = 0;
    else if (speed == u"57600") port_.speedCode = 1;
    else if (speed == u"115200") port_.speedCode = 2;
    else return usageError(QStringLiteral("--speed takes 9600, 57600 or 115200"));
  }
  return std::nullopt;
}

}  // namespace cli
