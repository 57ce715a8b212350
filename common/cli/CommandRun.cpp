#include "CommandRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <settings/SettingsFolder.h>

#include <algorithm>

#include "PortList.h"
#include <platform/StopRequests.h>

namespace cli {

QStringList exitStatusLines(const ExitStatusTable& statuses) {
  qsizetype width = 0;
  for (const ExitStatus& s : statuses) width = std::max(width, s.status.size());
  width += 2;
  QStringList lines;
  for (const ExitStatus& s : statuses) {
    const QStringList meaning = s.meaning.split(u'\n');
    lines << QStringLiteral("  ") + s.status.leftJustified(width) + meaning.first();
    for (qsizetype i = 1; i < meaning.size(); ++i) lines << QString(width + 2, u' ') + meaning[i];
  }
  return lines;
}

CommandRun::CommandRun(int& argc, char** argv, WindowApplication makeWindow, const QString& programName,
                       const QString& displayName, const QString& description, const QString& versionLine)
    : app_(makeApplication(argc, argv, makeWindow)),
      hasWindow_(makeWindow != nullptr),
      programName_(programName),
      displayName_(displayName),
      line_(description, versionLine) {
  QCoreApplication::setApplicationName(programName);
  // A widget application's title for its windows and boxes, set through its
  // property so that this library needs no GUI module; a core application
  // shows no box, and boxes() names the program itself.
  app_->setProperty("applicationDisplayName", displayName);
}

CommandRun::~CommandRun() = default;

void CommandRun::addRunOptions(const QString& windowHelp, const QString& recordsHelp, const QString& databaseHelp) {
  // A copy built without its window does not know --window (a usage error).
  if (hasWindow_) line_.parser().addOption({QStringLiteral("window"), windowHelp});
  line_.parser().addOptions({
      {QStringLiteral("records"), recordsHelp, QStringLiteral("FILE")},
      {QStringLiteral("database"), databaseHelp, QStringLiteral("URI")},
  });
  runOptions_ = true;
}

std::optional<int> CommandRun::parse(const ExitStatusTable& statuses) {
  line_.setExitStatuses(exitStatusLines(statuses));
  if (const auto ended = line_.parse(QCoreApplication::arguments())) return ended;
  folder_ = SettingsFolder::forProgram(programName_, Console::error);
  if (line_.listPorts()) {
    listPorts(iniPath());
    return kExitOk;
  }
  return std::nullopt;
}

QString CommandRun::iniPath() const { return QDir(folder_).filePath(QStringLiteral("setup.ini")); }

bool CommandRun::windowed() const { return runOptions_ && hasWindow_ && line_.parser().isSet(QStringLiteral("window")); }

ProductionConfig CommandRun::production() const {
  ProductionConfig config = ProductionConfig::fromIni(iniPath());
  if (!runOptions_) return config;
  const QCommandLineParser& p = line_.parser();
  if (p.isSet(QStringLiteral("records"))) config.setOwnRecords(p.value(QStringLiteral("records")));
  if (p.isSet(QStringLiteral("database"))) config.database = p.value(QStringLiteral("database"));
  return config;
}

Console& CommandRun::console() {
  if (!console_) console_.emplace();
  return *console_;
}

MessageSink CommandRun::errors() const {
  return [name = programName_](const QString& text) { Console::error(name + QStringLiteral(": ") + text); };
}

MessageSink CommandRun::boxes() const {
  return [title = displayName_](const QString& text) { Console::box(title, text); };
}

void CommandRun::onStop(std::function<void()> onStop) {
  if (!stop_) stop_ = std::make_unique<platform::StopRequests>(std::move(onStop));
}

int CommandRun::stopStatus() const { return stop_ ? stop_->exitStatus() : 0; }

void CommandRun::execute(const std::function<void()>& body) {
  if (!windowed()) {
    body();
    return;
  }
  QTimer::singleShot(0, app_.get(), [this, &body] {
    body();
    QTimer::singleShot(kWindowLinger, app_.get(), &QCoreApplication::quit);
  });
  app_->exec();
}

}  // namespace cli
