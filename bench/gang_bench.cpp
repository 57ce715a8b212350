// gang_bench [--smoke]: one calvboot process programming eight units at once
// (--devices, --json) against eight calvsim --baud 115200 on pseudo-terminals.
// Each slot's time (its JSON end "seconds") over its own line's floor, as
// calvsim counted it, beside the same ratio of one unit programmed alone in
// the same run (by --device, and by --devices with one slot); the process's share of a core while the eight run; and the
// same eight with one unit falling silent and another's line vanishing
// halfway, the six others' times beside their clean run's.
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"

extern char** environ;

namespace {

constexpr int kBaud = 115200;
constexpr int kSlots = 8;
constexpr int kSilentSlot = 2, kVanishSlot = 5;  // zero-based: the third and the sixth

// From calvsim --timeline, where a slot's time over its floor went: the
// program's turnaround (an answer's last byte to the next frame's first) and
// calvsim writing its answers later than due (a busy machine).
struct Split {
  double turnaround = 0, late = 0;
  bool valid = false;
};

Split readSplit(const QString& path) {
  Split split;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return split;
  double lastWritten = -1;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const QList<QByteArray> p = line.split(' ');
    if (p.size() == 3 && p[0] == "frame") {
      if (lastWritten >= 0) split.turnaround += double(p[1].toLongLong()) / 1e9 - lastWritten;
      lastWritten = -1;
    } else if (p.size() == 4 && p[0] == "reply") {
      split.late += double(p[2].toLongLong() - p[1].toLongLong()) / 1e9;
      lastWritten = double(p[2].toLongLong()) / 1e9;
      split.valid = true;
    }
  }
  return split;
}

// One calvsim on a pseudo-terminal, counting its line.
struct Sim {
  std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
  QString pty, counters, timeline;
  bench::LineCount line;
  Split split;
  int frames = -1;  // from its last line: frames it received
};

bool startSim(Sim& sim, const QString& dir, int index, const QStringList& extra) {
  sim.counters = QStringLiteral("%1/counters-%2.txt").arg(dir).arg(index);
  sim.timeline = QStringLiteral("%1/timeline-%2.txt").arg(dir).arg(index);
  QFile::remove(sim.counters);
  QFile::remove(sim.timeline);
  sim.process->start(QStringLiteral(CALVSIM_PATH), QStringList{"--baud", QString::number(kBaud), "--counters",
                                                               sim.counters, "--timeline", sim.timeline} +
                                                       extra);
  const auto deadline = bench::Clock::now() + std::chrono::seconds{5};
  while (!sim.process->canReadLine() && bench::Clock::now() < deadline) sim.process->waitForReadyRead(100);
  sim.pty = QString::fromLocal8Bit(sim.process->readLine()).trimmed();
  return !sim.pty.isEmpty();
}

// SIGTERM makes calvsim write its counters and say how many frames it took.
void stopSim(Sim& sim) {
  sim.process->terminate();
  if (!sim.process->waitForFinished(5000)) {
    sim.process->kill();
    sim.process->waitForFinished(5000);
  }
  sim.line = bench::readCounters(sim.counters);
  sim.split = readSplit(sim.timeline);
  const auto m = QRegularExpression(QStringLiteral("frames: (\\d+)"))
                     .match(QString::fromLocal8Bit(sim.process->readAllStandardOutput()));
  if (m.hasMatch()) sim.frames = m.captured(1).toInt();
}

struct SlotEnd {
  bool seen = false;
  double seconds = 0;
  int status = -1;
  QString outcome;
};

struct Run {
  bool reaped = false;
  int status = -1;
  double wall = 0, cpu = 0;
  QMap<QString, SlotEnd> ends;  // by device
};

// calvboot with ARGS, its events into a file; timed from spawn to reaped,
// its processor time (every thread) from wait4. The run is bounded by the
// program's own time-outs; a stuck one is killed after LIMIT seconds.
Run runCalvboot(const QStringList& arguments, const QString& dir, double limit) {
  Run run;
  const QByteArray outPath = (dir + QStringLiteral("/events.jsonl")).toLocal8Bit();
  const QByteArray errPath = (dir + QStringLiteral("/stderr.txt")).toLocal8Bit();
  QList<QByteArray> owned{QByteArray(CALVBOOT_PATH)};
  for (const QString& a : arguments) owned << a.toLocal8Bit();
  std::vector<char*> args;
  for (QByteArray& a : owned) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const auto t0 = bench::Clock::now();
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return run;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t got = wait4(pid, &status, WNOHANG, &usage);
    if (got == pid) {
      run.reaped = true;
      break;
    }
    if (got < 0) break;
    if (bench::since(t0) > limit) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    ::usleep(20000);
  }
  run.wall = bench::since(t0);
  if (!run.reaped) return run;
  run.cpu = bench::seconds(usage.ru_utime) + bench::seconds(usage.ru_stime);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  QFile events(QString::fromLocal8Bit(outPath));
  if (events.open(QIODevice::ReadOnly))
    for (const QByteArray& line : events.readAll().split('\n')) {
      const QJsonObject o = QJsonDocument::fromJson(line).object();
      if (o.value("event").toString() != QStringLiteral("end")) continue;
      SlotEnd& e = run.ends[o.value("device").toString()];
      e.seen = true;
      e.seconds = o.value("seconds").toDouble();
      e.status = o.value("exit_status").toInt(-1);
      e.outcome = o.value("outcome").toString();
    }
  if (run.status != 0) {
    QFile err(QString::fromLocal8Bit(errPath));
    if (err.open(QIODevice::ReadOnly)) std::fprintf(stderr, "gang_bench: calvboot said:\n%s", err.readAll().constData());
  }
  return run;
}

// EXTRA[i]: calvsim options of slot i. Starts the slots' simulators, runs
// calvboot --devices over them, stops them.
struct Gang {
  bool ok = false;  // every simulator started and calvboot ended by itself
  Run run;
  std::vector<Sim> sims;
  const SlotEnd& end(int i) const {
    static const SlotEnd none;
    const auto it = run.ends.find(sims[i].pty);
    return it == run.ends.end() ? none : *it;
  }
};

Gang gangRun(const QString& file, const QString& dir, const std::vector<QStringList>& extra) {
  Gang g;
  g.sims.resize(extra.size());
  QStringList devices;
  bool started = true;
  for (std::size_t i = 0; i < extra.size(); ++i) {
    started = startSim(g.sims[i], dir, int(i), extra[i]) && started;
    devices << g.sims[i].pty;
  }
  if (started)
    g.run = runCalvboot({"--program", file, "--devices", devices.join(','), "--speed", QString::number(kBaud), "--json"},
                        dir, 300);
  for (Sim& s : g.sims) stopSim(s);
  g.ok = started && g.run.reaped;
  return g;
}

QString fixed(double v, int digits) { return QString::number(v, 'f', digits); }

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool smoke = bench::smokeRun(argc, argv);
  QTemporaryDir dir;
  const QString file = bench::twoBlockFile(dir, smoke);
  if (file.isEmpty()) return 1;
  const QString units = QStringLiteral("%1 units at %2 baud").arg(kSlots).arg(kBaud);

  // One unit alone, through the ordinary single run.
  Sim alone;
  double singleRatio = 0;
  if (startSim(alone, dir.path(), 99, {})) {
    const Run r = runCalvboot({"--program", file, "--device", alone.pty, "--speed", QString::number(kBaud), "--json"},
                              dir.path(), 120);
    stopSim(alone);
    const SlotEnd e = r.ends.value(alone.pty);
    if (r.status == 0 && e.seen && alone.line.valid()) singleRatio = e.seconds / alone.line.floorSeconds();
    bench::row(QStringLiteral("calvboot --program, one unit at %1 baud: JSON end seconds / wire floor").arg(kBaud), "-",
               singleRatio > 0 ? QStringLiteral("%1 (%2 s / %3 s)")
                                     .arg(fixed(singleRatio, 3), fixed(e.seconds, 2), fixed(alone.line.floorSeconds(), 2))
                               : QStringLiteral("run failed"),
               "-");
  } else {
    bench::row(QStringLiteral("calvboot --program, one unit at %1 baud").arg(kBaud), "-", QStringLiteral("run failed"), "-");
  }
  if (singleRatio <= 0) return 0;

  // One unit through the gang's own path: what is the gang's and what is
  // the eight's sharing of the machine.
  const Gang one = gangRun(file, dir.path(), std::vector<QStringList>(1));
  const SlotEnd& oneEnd = one.end(0);
  const bool oneOk = one.ok && oneEnd.status == 0 && one.sims[0].line.valid();
  bench::row(QStringLiteral("calvboot --devices, one unit at %1 baud: JSON end seconds / wire floor").arg(kBaud), "-",
             oneOk ? QStringLiteral("%1 (%2 s / %3 s)")
                         .arg(fixed(oneEnd.seconds / one.sims[0].line.floorSeconds(), 3), fixed(oneEnd.seconds, 2),
                              fixed(one.sims[0].line.floorSeconds(), 2))
                   : QStringLiteral("run failed"),
             "-");

  // Eight at once, every unit well.
  const Gang clean = gangRun(file, dir.path(), std::vector<QStringList>(kSlots));
  QStringList ratios;
  double worst = 0;
  int worstSlot = 0;
  bool cleanOk = clean.ok && clean.run.status == 0;
  for (int i = 0; i < kSlots && cleanOk; ++i) {
    const SlotEnd& e = clean.end(i);
    const bench::LineCount& line = clean.sims[i].line;
    if (!e.seen || e.status != 0 || !line.valid()) {
      cleanOk = false;
      break;
    }
    const double ratio = e.seconds / line.floorSeconds();
    if (ratio > worst) {
      worst = ratio;
      worstSlot = i;
    }
    ratios << fixed(ratio, 3);
  }
  const QString figure = QStringLiteral("calvboot --devices, %1: ").arg(units);
  if (!cleanOk) {
    bench::row(figure + QStringLiteral("each slot's seconds / its wire floor"), "-", QStringLiteral("run failed"), "-");
    return 0;
  }
  bench::row(figure + QStringLiteral("each slot's seconds / its wire floor"), "-",
             ratios.join(QStringLiteral(", ")) + QStringLiteral(" (one unit alone: %1)").arg(fixed(singleRatio, 3)), "-");
  const double slowdown = worst / singleRatio;
  bench::row(figure + QStringLiteral("worst slot's ratio / one unit's ratio"), QStringLiteral("<= 1.05"),
             QStringLiteral("%1 (%2 / %3)").arg(fixed(slowdown, 3), fixed(worst, 3), fixed(singleRatio, 3)),
             bench::met(smoke, slowdown <= 1.05));
  const Split& w = clean.sims[worstSlot].split;
  if (w.valid && alone.split.valid)
    bench::row(figure + QStringLiteral("where the worst slot's time over one unit's goes"), "-",
               QStringLiteral("slot %1: calvboot's turnaround %2 s (alone %3 s), calvsim's answers late %4 s (alone %5 s)")
                   .arg(worstSlot + 1)
                   .arg(fixed(w.turnaround, 2), fixed(alone.split.turnaround, 2), fixed(w.late, 2),
                        fixed(alone.split.late, 2)),
               "-");
  const double share = 100.0 * clean.run.cpu / clean.run.wall;
  bench::row(figure + QStringLiteral("calvboot's processor share (all threads, from wait4)"), QStringLiteral("< 50 % of one core"),
             QStringLiteral("%1 % (%2 s over %3 s)").arg(fixed(share, 1), fixed(clean.run.cpu, 2), fixed(clean.run.wall, 2)),
             bench::met(smoke, share < 50.0));

  // The same eight, one unit falling silent and another's line vanishing
  // halfway through the frames the lone unit took.
  const int half = std::max(alone.frames / 2, 3);
  std::vector<QStringList> extra(kSlots);
  extra[kSilentSlot] = {"--silent-from", QString::number(half)};
  extra[kVanishSlot] = {"--vanish-at", QString::number(half)};
  const Gang faulty = gangRun(file, dir.path(), extra);
  const QString faultFigure =
      figure + QStringLiteral("slot %1 falls silent and slot %2's line vanishes at frame %3: ")
                   .arg(kSilentSlot + 1)
                   .arg(kVanishSlot + 1)
                   .arg(half);
  if (!faulty.ok) {
    bench::row(faultFigure + QStringLiteral("the six others' seconds / their clean run's"), "-", QStringLiteral("run failed"), "-");
    return 0;
  }
  QStringList changes;
  double widest = 0;
  bool othersOk = true;
  for (int i = 0; i < kSlots; ++i) {
    if (i == kSilentSlot || i == kVanishSlot) continue;
    const SlotEnd& e = faulty.end(i);
    if (!e.seen || e.status != 0) {
      othersOk = false;
      changes << QStringLiteral("slot %1 ended %2 (%3)").arg(i + 1).arg(e.status).arg(e.seen ? e.outcome : QStringLiteral("no end event"));
      continue;
    }
    const double change = e.seconds / clean.end(i).seconds - 1.0;
    widest = std::max(widest, std::abs(change));
    changes << QStringLiteral("%1%2 %").arg(change >= 0 ? "+" : "").arg(fixed(100.0 * change, 1));
  }
  bench::row(faultFigure + QStringLiteral("the six others' seconds against their clean run's"), QStringLiteral("within 5 %, each ends 0"),
             QStringLiteral("%1; widest %2 %").arg(changes.join(QStringLiteral(", ")), fixed(100.0 * widest, 1)),
             bench::met(smoke, othersOk && widest <= 0.05));
  const SlotEnd& silent = faulty.end(kSilentSlot);
  const SlotEnd& vanished = faulty.end(kVanishSlot);
  bench::row(faultFigure + QStringLiteral("how the two ended"), QStringLiteral("alone, not 0"),
             QStringLiteral("silent: %1 (%2) after %3 s; vanished: %4 (%5) after %6 s; the process: %7")
                 .arg(silent.outcome)
                 .arg(silent.status)
                 .arg(fixed(silent.seconds, 2), vanished.outcome)
                 .arg(vanished.status)
                 .arg(fixed(vanished.seconds, 2))
                 .arg(faulty.run.status),
             bench::met(smoke, silent.seen && vanished.seen && silent.status != 0 && vanished.status != 0 && othersOk));
  return 0;
}
