#include "BootSimProcess.h"

#include <QRegularExpression>

namespace {
QRegularExpressionMatch find(const QString& report, const char* pattern) {
  return QRegularExpression(QStringLiteral("bootsim: ") + QString::fromLatin1(pattern)).match(report);
}
}  // namespace

bool BootSimProcess::start(const QStringList& args) {
  process_.start(QStringLiteral(BOOTSIM_PATH), args);
  if (!process_.waitForStarted(5000)) return false;
  while (!process_.canReadLine())
    if (!process_.waitForReadyRead(5000)) return false;
  slavePath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
  return !slavePath_.isEmpty();
}

BootSimProcess::~BootSimProcess() {
  process_.kill();
  process_.waitForFinished(2000);
}

QString BootSimProcess::finish(int graceMs) {
  if (!finished_) {
    endedByItself_ = graceMs > 0 && process_.waitForFinished(graceMs) && process_.exitCode() == 0;
    process_.terminate();
    process_.waitForFinished(5000);
    report_ = QString::fromLocal8Bit(process_.readAllStandardOutput());
    finished_ = true;
  }
  return report_;
}

int BootSimProcess::linesTaken(const QString& report) {
  const auto m = find(report, "lines (\\d+)");
  return m.hasMatch() ? m.captured(1).toInt() : -1;
}

std::optional<BootSimProcess::Gaps> BootSimProcess::gaps(const QString& report) {
  const auto m = find(report, "gaps (\\d+) min ([\\d.]+) median ([\\d.]+) max ([\\d.]+) ms");
  if (!m.hasMatch()) return std::nullopt;
  return Gaps{m.captured(1).toInt(), m.captured(2).toDouble(), m.captured(3).toDouble(), m.captured(4).toDouble()};
}

QString BootSimProcess::verdict(const QString& report) { return find(report, "verdict (.*)").captured(1).trimmed(); }
