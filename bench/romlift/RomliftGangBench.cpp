// romlift_gang_bench [--smoke] [SLOTS] [LINES] [BAUD]: romlift --upload
// --ports 1-SLOTS sends LINES S1 records with --delay 150 to SLOTS bootsim
// --baud BAUD at once; each bootsim reports the silences between lines on its
// own wire clock. The same run then uploads to one bootsim alone, so the
// units' figures stand beside a single upload's on the same machine and load.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sim/bootsim/SRecord.h>

#include <memory>
#include <optional>
#include <vector>

#include <bench/BenchSupport.h>
#include "BootSimBench.h"

namespace {

// romlift (copied beside its setup.ini) uploading to `units` bootsims at
// once (one alone: --port 1); each slot's gaps, in port order.
std::vector<std::optional<Gaps>> upload(int units, int lines, long baud, double& wall) {
  std::vector<std::optional<Gaps>> gaps(static_cast<std::size_t>(units));
  QTemporaryDir dir;
  const QString program = dir.filePath(QStringLiteral("romlift"));
  if (!dir.isValid() || !QFile::copy(QStringLiteral(ROMLIFT_PATH), program)) return gaps;
  QFile file(dir.filePath(QStringLiteral("bench.s19")));
  if (!file.open(QIODevice::WriteOnly) || file.write(makeFile(lines)) <= 0) return gaps;
  file.close();
  std::vector<std::unique_ptr<BootSim>> sims;
  QByteArray ini = "[Ports]\r\n";
  for (int n = 1; n <= units; ++n) {
    sims.push_back(std::make_unique<BootSim>());
    if (!sims.back()->start({"--announce-repeat", "50", "--baud", QString::number(baud)})) return gaps;
    ini += QStringLiteral("COM%1=%2\r\n").arg(n).arg(sims.back()->pty()).toUtf8();
  }
  QFile setup(dir.filePath(QStringLiteral("setup.ini")));
  if (!setup.open(QIODevice::WriteOnly) || setup.write(ini) != ini.size()) return gaps;
  setup.close();

  QProcess romlift;
  romlift.setWorkingDirectory(dir.path());
  const QStringList port = units == 1 ? QStringList{"--port", "1"} : QStringList{"--ports", QStringLiteral("1-%1").arg(units)};
  const auto start = bench::Clock::now();
  romlift.start(program, QStringList{"--upload", file.fileName(), "--delay", QString::number(kDelayMs), "--speed",
                                     QString::number(baud)} + port);
  const bool ended = romlift.waitForFinished(600000);
  wall = bench::since(start);
  if (!ended || romlift.exitCode() != 0)
    std::fprintf(stderr, "romlift: %s\n", romlift.readAllStandardError().constData());
  for (std::size_t i = 0; i < sims.size(); ++i) gaps[i] = gapsOf(sims[i]->finish());
  return gaps;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool smoke = bench::smokeRun(argc, argv);
  QList<long> numbers;
  for (int i = 1; i < argc; ++i)
    if (const long v = QByteArray(argv[i]).toLong(); v > 0) numbers << v;
  const int units = int(numbers.value(0, 8)), lines = int(numbers.value(1, smoke ? 10 : 200));
  const long baud = numbers.value(2, 115200);

  double wall = 0;
  const auto gang = upload(units, lines, baud, wall);
  const QString what = QStringLiteral("%1-line upload at %2 baud").arg(lines).arg(baud);
  for (std::size_t i = 0; i < gang.size(); ++i)
    gapRow(QStringLiteral("%1, slot COM%2 of %3 at once: gaps on bootsim's wire clock").arg(what).arg(i + 1).arg(units),
           gang[i], smoke);
  // Every slot's median beside the line delay: how far the slowest slot strays.
  double worst = 0;
  bool all = true;
  for (const auto& g : gang) {
    all = all && g.has_value();
    if (g) worst = std::max(worst, g->median - kDelayMs);
  }
  if (all)
    bench::row(QStringLiteral("%1, %2 slots: largest median above the line delay").arg(what).arg(units), "<= 1 ms",
               QStringLiteral("%1 ms (run %2 s)").arg(worst, 0, 'f', 2).arg(wall, 0, 'f', 1), bench::met(smoke, worst <= 1));
  double single = 0;
  gapRow(QStringLiteral("%1, one slot alone: gaps on bootsim's wire clock").arg(what), upload(1, lines, baud, single).front(),
         smoke);
  return 0;
}
