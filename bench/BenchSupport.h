#pragma once
// What every benchmark program shares: the table row it prints for
// scripts/bench, processor time from the kernel's own accounting, and the
// line's floor from what calvsim counted.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace bench {

// One table row: "ROW|figure|target|measured|met". scripts/bench collects
// these; met is "yes", "no" or "-" (no target, or a smoke run).
inline void row(const QString& figure, const QString& target, const QString& measured, const char* met) {
  std::printf("ROW|%s|%s|%s|%s\n", qPrintable(figure), qPrintable(target), qPrintable(measured), met);
  std::fflush(stdout);
}
inline const char* met(bool smoke, bool ok) { return smoke ? "-" : ok ? "yes" : "no"; }

inline bool smokeRun(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--smoke") == 0) return true;
  return false;
}

inline double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

// Processor time (user and system) of this process, or of its waited-for children.
inline double cpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// Processor seconds another running process has used so far, from the
// kernel's account in /proc; -1 when unknown.
inline double cpuSecondsOf(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  // Fields after the command name (which may hold blanks): utime is the 12th, stime the 13th.
  const QByteArray stat = f.readAll();
  const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
  if (fields.size() < 13) return -1;
  return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

using Clock = std::chrono::steady_clock;
inline double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// calvsim --counters: bytes each way, the delays it made on purpose, opens of its line.
struct LineCount {
  long long received = 0, sent = 0, delayUs = 0, baud = 0, opens = 0;
  bool valid() const { return received > 0 && baud > 0; }
  // Every byte that crossed at 10 bits, plus the pauses the far end was told to make.
  double floorSeconds() const { return double(received + sent) * 10.0 / double(baud) + double(delayUs) / 1e6; }
};

inline LineCount readCounters(const QString& path) {
  LineCount c;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return c;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const QList<QByteArray> p = line.split(' ');
    if (p.size() != 2) continue;
    const long long v = p[1].toLongLong();
    if (p[0] == "received") c.received = v;
    else if (p[0] == "sent") c.sent = v;
    else if (p[0] == "delay_us") c.delayUs = v;
    else if (p[0] == "baud") c.baud = v;
    else if (p[0] == "opens") c.opens = v;
  }
  return c;
}

// A firmware file of blocks 0 .. blocks-1, each holding perBlock bytes from
// address 0 in records of 32, as the module's .ldr files are laid out.
inline QByteArray ldrImage(int blocks, int perBlock) {
  auto hexByte = [](int v) { return QByteArray::number(v & 0xFF, 16).toUpper().rightJustified(2, '0'); };
  auto record = [&](int type, int address, const QByteArray& data) {
    QByteArray line = ":" + hexByte(int(data.size())) + hexByte(address >> 8) + hexByte(address) + hexByte(type);
    int sum = int(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (char c : data) {
      line += hexByte(std::uint8_t(c));
      sum += std::uint8_t(c);
    }
    return line + hexByte((256 - sum % 256) % 256) + "\r\n";
  };
  QByteArray out;
  std::uint32_t state = 12345;
  for (int block = 0; block < blocks; ++block) {
    out += record(4, 0, QByteArray("\x00", 1) + char(block));
    for (int a = 0; a < perBlock; a += 32) {
      QByteArray data;
      for (int i = 0; i < 32; ++i) {
        state = state * 1664525u + 1013904223u;
        data += char(state >> 24);
      }
      out += record(0, a, data);
    }
  }
  return out + record(1, 0, {});
}

// The two-block sample of the programming benches in dir; empty when it could
// not be written.
inline QString twoBlockFile(const QTemporaryDir& dir, bool smoke) {
  const QString path = dir.filePath(QStringLiteral("two-block.ldr"));
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(ldrImage(2, smoke ? 256 : 65536)) <= 0) return {};
  return path;
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace bench
