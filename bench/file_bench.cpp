// file_bench [--smoke]: CheckFirmwareFile on a six-block file (384 KiB of
// data) and CalcFlashCrc, time per call.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <programming/FirmwareFile.h>
#include <programming/ImageBuffer.h>

#include "BenchSupport.h"

namespace {

template <typename F>
double medianSeconds(int runs, F&& call) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = bench::Clock::now();
    call();
    times.push_back(bench::since(t0));
  }
  return bench::median(times);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool smoke = bench::smokeRun(argc, argv);
  const int runs = smoke ? 1 : 21;

  QTemporaryDir dir;
  const QString path = dir.filePath("six-block.ldr");
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bench::ldrImage(6, smoke ? 1024 : 65536)) <= 0) return 1;
  f.close();

  const FirmwareFile::TextSink ignore = [](const QString&) {};
  double bytes = 0;
  const double check = medianSeconds(runs, [&] { bytes = FirmwareFile::CheckFirmwareFile(path, ignore, ignore).totalBytes; });
  bench::row(QStringLiteral("CheckFirmwareFile, six blocks (%1 KiB of data)").arg(bytes / 1024, 0, 'f', 0), "< 50 ms",
             QStringLiteral("%1 ms").arg(check * 1e3, 0, 'f', 1), bench::met(smoke, bytes > 0 && check < 0.050));

  ImageBuffer image;
  volatile std::int32_t crc = 0;
  const double flash = medianSeconds(runs, [&] { crc = image.CalcFlashCrc(); });
  bench::row("CalcFlashCrc (384 KiB)", "< 2 ms", QStringLiteral("%1 ms").arg(flash * 1e3, 0, 'f', 2),
             bench::met(smoke, flash < 0.002));
  return 0;
}
