#include "CommandRun.h"

#include <QDir>
#include <QTimer>

#include <settings/SettingsFolder.h>

#include "PortList.h"
#include "StopSignal.h"

namespace cli {

QStringList exitStatusLines(const ExitStatusTable& statuses) {
  // The meaning starts in column 7 of the status; continued lines are
  // indented to it, two more for the list's own indent.
  QStringList lines;
  for (const ExitStatus& s : statuses) {
    QString meaning = s.meaning;
    meaning.replace(u'\n', QStringLiteral("\n         "));
    lines << s.status.leftJustified(6) + u' ' + meaning;
  }
  return lines;
}

CommandRun::CommandRun(int& argc, char** argv, WindowApplication makeWindow, const QString& programName,
                       const QString& displayName, const QString& description, const QString& versionLine)
    : app_(makeApplication(argc, argv, makeWindow)),
      programName_(programName),
      displayName_(displayName.isEmpty() ? programName : displayName),
      line_(description, versionLine) {
  QCoreApplication::setApplicationName(programName);
  // A widget application's own title for its boxes; a plain one has none.
  if (!displayName.isEmpty()) app_->setProperty("applicationDisplayName", displayName);
}

CommandRun::~CommandRun() = default;

void CommandRun::addRunOptions(const QString& windowHelp, const QString& recordsHelp, const QString& databaseHelp) {
  line_.parser().addOptions({
      {QStringLiteral("window"), windowHelp},
      {QStringLiteral("records"), recordsHelp, QStringLiteral("FILE")},
      {QStringLiteral("database"), databaseHelp, QStringLiteral("URI")},
  });
}

std::optional<int> CommandRun::parse(const ExitStatusTable& statuses) {
  line_.setExitStatuses(exitStatusLines(statuses));
  if (const auto ended = line_.parse(QCoreApplication::arguments())) return ended;
  folder_ = SettingsFolder::forProgram(programName_);
  if (line_.listPorts()) {
    listPorts(iniPath());
    return kExitOk;
  }
  return std::nullopt;
}

QString CommandRun::iniPath() const { return QDir(folder_).filePath(QStringLiteral("setup.ini")); }

bool CommandRun::windowed() const { return line_.parser().isSet(QStringLiteral("window")); }

ProductionConfig CommandRun::production() const {
  ProductionConfig config = ProductionConfig::fromIni(iniPath());
  const QCommandLineParser& p = line_.parser();
  if (p.isSet(QStringLiteral("records"))) config.setOwnRecords(p.value(QStringLiteral("records")));
  if (p.isSet(QStringLiteral("database"))) config.database = p.value(QStringLiteral("database"));
  return config;
}

MessageSink CommandRun::errors() const {
  return [name = programName_](const QString& text) { Console::error(name + QStringLiteral(": ") + text); };
}

void CommandRun::onStop(std::function<void()> onStop) { stop_ = std::make_unique<StopSignal>(std::move(onStop)); }

int CommandRun::stopStatus() const { return stop_ ? stop_->exitStatus() : 0; }

void CommandRun::execute(const std::function<void()>& body) {
  if (!windowed()) {
    body();
    return;
  }
  QTimer::singleShot(0, app_.get(), [&] {
    body();
    QTimer::singleShot(kWindowLinger, app_.get(), &QCoreApplication::quit);
  });
  app_->exec();
}

}  // namespace cli
