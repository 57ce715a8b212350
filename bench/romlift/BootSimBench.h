#pragma once

// What romlift's benches share: a file of S1 records, bootsim as a child and
// its report of the silences between lines.
#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

#include <bench/BenchSupport.h>
#include <sim/bootsim/SRecord.h>

namespace {

constexpr int kDelayMs = 150;

QByteArray makeFile(int records) {
  QByteArray out = "S008000044562D3900F7\r\n";  // DV-9
  std::vector<std::uint8_t> data(16);
  for (int r = 0; r < records; ++r) {
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(r * 31 + i * 7);
    out += QByteArray::fromStdString(SRecord::make('1', std::uint32_t(r * data.size()), data)) + "\r\n";
  }
  return out + "S9030000FC\r\n";
}

// bootsim as a child: its terminal, and its closing report.
class BootSim {
 public:
  bool start(const QStringList& args) {
    process_.start(QStringLiteral(BOOTSIM_PATH), args);
    if (!process_.waitForStarted(5000)) return false;
    while (!process_.canReadLine())
      if (!process_.waitForReadyRead(5000)) return false;
    pty_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    return !pty_.isEmpty();
  }
  QString finish() {
    process_.terminate();
    process_.waitForFinished(5000);
    return QString::fromLocal8Bit(process_.readAllStandardOutput());
  }
  const QString& pty() const { return pty_; }

 private:
  QProcess process_;
  QString pty_;
};

struct Gaps {
  int count = 0;
  double min = 0, median = 0, max = 0;
};

std::optional<Gaps> gapsOf(const QString& report) {
  const auto m = QRegularExpression(QStringLiteral("gaps (\\d+) min ([\\d.]+) median ([\\d.]+) max ([\\d.]+) ms"))
                     .match(report);
  if (!m.hasMatch()) return std::nullopt;
  return Gaps{m.captured(1).toInt(), m.captured(2).toDouble(), m.captured(3).toDouble(), m.captured(4).toDouble()};
}

void gapRow(const QString& figure, const std::optional<Gaps>& g, bool smoke) {
  if (!g) return bench::row(figure, "-", "run failed", smoke ? "-" : "no");
  bench::row(figure, "min >= 150, median <= 151, max <= 160 ms",
             QStringLiteral("min %1, median %2, max %3 ms (%4 gaps)")
                 .arg(g->min, 0, 'f', 1)
                 .arg(g->median, 0, 'f', 1)
                 .arg(g->max, 0, 'f', 1)
                 .arg(g->count),
             bench::met(smoke, g->min >= kDelayMs && g->median <= kDelayMs + 1 && g->max <= kDelayMs + 10));
}

}  // namespace
