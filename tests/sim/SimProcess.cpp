#include "SimProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

SimProcess::SimProcess(const QString& program, const QStringList& options) {
  process_.start(program, options);
  if (!process_.waitForStarted(5000)) return;
  const QDeadlineTimer deadline(5000);
  while (!process_.canReadLine() && !deadline.hasExpired())
    if (!process_.waitForReadyRead(int(deadline.remainingTime()))) break;
  if (process_.canReadLine()) slavePath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
}

QString SimProcess::stop() {
  if (!stopped_ && process_.state() != QProcess::NotRunning) {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(2000);
    }
  }
  if (!stopped_) report_ = QString::fromLocal8Bit(process_.readAllStandardOutput());
  stopped_ = true;
  return report_;
}

std::optional<SimProcess::Gaps> SimProcess::gaps(const QString& report) {
  static const QRegularExpression pattern(
      QStringLiteral("bootsim: gaps (\\d+) min ([\\d.]+) median ([\\d.]+) max ([\\d.]+) ms"));
  const auto m = pattern.match(report);
  if (!m.hasMatch()) return std::nullopt;
  return Gaps{m.captured(1).toInt(), m.captured(2).toDouble(), m.captured(3).toDouble(), m.captured(4).toDouble()};
}

long long SimProcess::counter(const QString& file, const QByteArray& name) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith(name + ' ')) return line.mid(name.size() + 1).toLongLong();
  return -1;
}
