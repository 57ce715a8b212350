#include "GangRun.h"

#include "RateText.h"
#include "RunEvents.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <cli/CommandRun.h>
#include <cli/Console.h>
#include <platform/Terminal.h>
#include <protocol/ModuleCommands.h>
#include <serial/SerialLink.h>
#include <session/CalvSession.h>
#include <session/CalvSlot.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

namespace GangRun {
namespace {

using Clock = std::chrono::steady_clock;

// What the board shows of one slot; written by the slot's thread, read by
// the main thread under the board's lock.
struct SlotState {
  QString name;    // COM3, or the device given
  QString device;  // what it opens
  QString phase = QStringLiteral("waiting");
  qint64 done = 0, total = 0;
  std::optional<Clock::time_point> passStart;
  Clock::time_point started = Clock::now();
  bool ended = false;
  int status = 0;
  QString outcome;
  std::optional<std::uint32_t> serial;
  double seconds = 0;
};

// The slots' states and their output: on a terminal one line per slot kept
// current, otherwise a plain line for each change of phase and each quarter
// of the bytes.
class Board {
 public:
  // quiet: standard output carries the events instead.
  Board(std::vector<SlotState> states, bool quiet)
      : states_(std::move(states)), quiet_(quiet), terminal_(!quiet && platform::standardOutputIsTerminal()) {}

  template <typename Change>
  void update(std::size_t i, Change change) {
    QMutexLocker lock(&mutex_);
    SlotState& s = states_[i];
    const QString phase = s.phase;
    const int quarter = s.total > 0 ? int(s.done * 4 / s.total) : 0;
    change(s);
    if (terminal_ || quiet_) return;  // redrawn by the timer, or not shown
    const int nowQuarter = s.total > 0 ? int(s.done * 4 / s.total) : 0;
    if (s.phase != phase || (nowQuarter != quarter && !s.ended)) print(s.name + QStringLiteral(": ") + describe(s));
  }
  // On a terminal: every slot's line, rewritten in place.
  void redraw() {
    if (!terminal_) return;
    QMutexLocker lock(&mutex_);
    QString text;
    if (drawn_) text += QStringLiteral("\x1b[%1A").arg(states_.size());
    for (const SlotState& s : states_) text += QStringLiteral("\r\x1b[K") + s.name + QStringLiteral("  ") + describe(s) + u'\n';
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    drawn_ = true;
  }
  std::vector<SlotState> snapshot() {
    QMutexLocker lock(&mutex_);
    return states_;
  }

 private:
  static QString describe(const SlotState& s) {
    QString text = s.device.isEmpty() || s.device == s.name ? QString() : s.device + QStringLiteral("  ");
    text += s.phase;
    if (s.total > 0 && !s.ended) {
      text += QStringLiteral("  %1 / %2 bytes (%3 %)").arg(s.done).arg(s.total).arg(s.done * 100 / s.total);
      if (s.passStart && s.done > 0 && s.done < s.total) {
        const double seconds = std::chrono::duration<double>(Clock::now() - *s.passStart).count();
        if (seconds >= 1.0)
          text += QStringLiteral(", %1, %2 left")
                      .arg(kiloBytesPerSecond(s.done, seconds),
                           duration(seconds * double(s.total - s.done) / double(s.done)));
      }
    }
    return text;
  }
  static void print(const QString& line) {
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
  }

  QMutex mutex_;
  std::vector<SlotState> states_;
  bool quiet_;
  bool terminal_;
  bool drawn_ = false;
};

// What one slot does, on the board and as events: the slot's listener, called
// on its thread.
class SlotReport : public CalvSlot::Listener {
 public:
  SlotReport(const Plan& plan, std::size_t index, Board& board, RunEvents& events)
      : plan_(plan), events_(events), index_(index), board_(board) {
    const cli::PortChoice& port = plan_.ports[index_];
    name_ = port.device.isEmpty() ? QStringLiteral("COM%1").arg(port.comPort) : port.device;
  }

  void opening(const QString& device) override {
    board_.update(index_, [&](SlotState& s) { s.device = device; });
    if (!plan_.json) return;
    const cli::PortChoice& port = plan_.ports[index_];
    eventSlot_ = RunEvents::slotFor(port.device.isEmpty() ? std::optional<int>(port.comPort) : std::nullopt, device);
    eventView_.emplace(events_, eventSlot_);
    events_.start(eventSlot_, plan_.file);
  }
  // The sequence's status line is the slot's phase.
  void phase(const QString& text) override {
    if (plan_.json) eventView_->setStatusText(text);
    else if (!text.isEmpty()) board_.update(index_, [&](SlotState& s) { s.phase = text; });
  }
  void bytes(qint64 done, qint64 total) override {
    if (plan_.json) {
      eventView_->bytesSent(done, total);
      return;
    }
    board_.update(index_, [&](SlotState& s) {
      if (done == 0 || !s.passStart) s.passStart = Clock::now();
      s.done = done;
      s.total = total;
    });
  }
  void block(int block, int moduleCrc, int pcCrc) override {
    if (plan_.json) eventView_->blockChecked(block, moduleCrc, pcCrc);
  }
  void said(const QString& text) override { cli::Console::error(QStringLiteral("calvboot: %1: %2").arg(name_, text)); }
  // The link's lines name their port already.
  void linkLine(const QString& line) override { cli::Console::error(line); }
  void ended(const CalvSlot::End& end) override {
    board_.update(index_, [&](SlotState& s) {
      s.ended = true;
      s.status = end.status;
      s.outcome = end.outcome;
      s.serial = end.serial;
      s.seconds = std::chrono::duration<double>(Clock::now() - s.started).count();
      s.phase = s.outcome;
      if (plan_.json) events_.end(eventSlot_, s.outcome, s.status, s.serial, s.seconds);
    });
  }

 private:
  const Plan& plan_;
  RunEvents& events_;
  std::size_t index_;
  Board& board_;
  QString name_;
  RunEvents::Slot eventSlot_;
  std::optional<RunEventView> eventView_;
};

CalvSlot::Setup slotSetup(const Plan& plan, std::size_t index, const QString& folder, ProductionConfig production,
                          std::function<int()> stopStatus) {
  const cli::PortChoice& port = plan.ports[index];
  CalvSlot::Setup setup;
  setup.comPort = port.comPort;
  setup.device = port.device;
  setup.adapterSerial = port.adapterSerial;
  setup.speed = port.speed.value_or(plan.speed);
  setup.address = plan.address;
  setup.file = plan.file;
  setup.folder = folder;
  setup.production = std::move(production);
  setup.stopStatus = std::move(stopStatus);
  return setup;
}

// One slot: its report first, so that it outlives the run that tells it.
class Slot : public SlotReport, public CalvSlot {
 public:
  Slot(const Plan& plan, std::size_t index, Board& board, RunEvents& events, const QString& folder,
       ProductionConfig production, std::function<int()> stopStatus)
      : SlotReport(plan, index, board, events),
        CalvSlot(slotSetup(plan, index, folder, std::move(production), std::move(stopStatus)), *this) {}
};

QString column(const QString& text, int width) { return text.leftJustified(width); }

}  // namespace

int run(cli::CommandRun& run, const Plan& plan) {
  std::vector<SlotState> states;
  for (const cli::PortChoice& port : plan.ports) {
    SlotState s;
    s.name = port.device.isEmpty() ? QStringLiteral("COM%1").arg(port.comPort) : port.device;
    states.push_back(s);
  }
  Board board(std::move(states), plan.json);
  RunEvents events;
  const ProductionConfig production = run.production();
  std::vector<std::unique_ptr<Slot>> units;
  for (std::size_t i = 0; i < plan.ports.size(); ++i)
    units.push_back(
        std::make_unique<Slot>(plan, i, board, events, run.folder(), production, [&run] { return run.stopStatus(); }));
  run.onStop([&] {
    for (auto& slot : units) slot->requestStop();
  });

  int running = int(units.size());
  for (auto& slot : units) {
    QObject::connect(slot.get(), &QThread::finished, QCoreApplication::instance(), [&running] {
      if (--running == 0) QCoreApplication::quit();
    });
    slot->start();
  }
  QTimer redraw;
  QObject::connect(&redraw, &QTimer::timeout, [&board] { board.redraw(); });
  redraw.start(250);
  board.redraw();
  if (running > 0) QCoreApplication::exec();
  for (auto& slot : units) slot->wait();
  redraw.stop();
  board.redraw();

  // The table: every slot, its outcome, exit status, serial number and time.
  const std::vector<SlotState> ended = board.snapshot();
  int status = 0;
  for (const SlotState& s : ended)
    if (status == 0 && s.status != 0) status = s.status;
  if (plan.json) return status;
  int width = 4;
  for (const SlotState& s : ended) width = std::max(width, int(s.name.size()));
  std::printf("%s\n", qPrintable(column(QStringLiteral("Slot"), width + 2) + column(QStringLiteral("Outcome"), 20) +
                                 column(QStringLiteral("Exit"), 6) + column(QStringLiteral("Serial"), 10) +
                                 QStringLiteral("Time")));
  for (const SlotState& s : ended) {
    std::printf("%s\n", qPrintable(column(s.name, width + 2) + column(s.outcome, 20) +
                                   column(QString::number(s.status), 6) +
                                   column(s.serial ? QString::number(*s.serial) : QStringLiteral("-"), 10) +
                                   QStringLiteral("%1 s").arg(s.seconds, 0, 'f', 1)));
  }
  std::fflush(stdout);
  return status;
}

}  // namespace GangRun
