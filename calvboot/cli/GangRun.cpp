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

// The sequence's view for one slot: its status line is the slot's phase.
class SlotView : public ProgramView {
 public:
  SlotView(Board& board, std::size_t index) : board_(board), index_(index) {}
  void setStatusText(const QString& text) override {
    if (!text.isEmpty()) board_.update(index_, [&](SlotState& s) { s.phase = text; });
  }
  void setProgress(float) override {}
  void bytesSent(qint64 done, qint64 total) override {
    board_.update(index_, [&](SlotState& s) {
      if (done == 0 || !s.passStart) s.passStart = Clock::now();
      s.done = done;
      s.total = total;
    });
  }

 private:
  Board& board_;
  std::size_t index_;
};

// One slot: its own session, on its own thread, from the port check to the
// record. A stop asked from the main thread reaches the sequence through the
// slot's event loop, after the command in flight.
class Slot : public QThread {
 public:
  Slot(const Plan& plan, std::size_t index, Board& board, RunEvents& events, const QString& folder,
       ProductionConfig production, std::function<int()> stopStatus)
      : plan_(plan),
        events_(events),
        index_(index),
        board_(board),
        folder_(folder),
        production_(std::move(production)),
        stopStatus_(std::move(stopStatus)) {}

  void requestStop() {
    QMutexLocker lock(&mutex_);
    stopAsked_ = true;
    if (link_) QMetaObject::invokeMethod(link_, [program = program_] { program->StopRequest = true; });
  }
  int status() const { return status_; }

 protected:
  void run() override {
    const cli::PortChoice& port = plan_.ports[index_];
    const QString name = port.device.isEmpty() ? QStringLiteral("COM%1").arg(port.comPort) : port.device;
    const auto say = [name](const QString& text) {
      cli::Console::error(QStringLiteral("calvboot: %1: %2").arg(name, text));
    };
    CalvSession session(folder_);
    SerialLink& com = session.link();
    ProgramModule& program = session.program();
    // The link's lines name their port already.
    com.setMessageSink([](const QString& line) { cli::Console::error(line); });
    program.setMessageSink(say);
    session.setCommandLineRun(production_, stopStatus_);
    ModuleCommands& commands = session.commands();
    commands.ComPort = port.comPort != 0 ? port.comPort : 1;
    commands.ComSpeed = port.speed.value_or(plan_.speed).code();
    commands.DevAdr = plan_.address;
    session.setDevice(port.device);
    com.MSComm1().bindAdapter(port.adapterSerial, QStringLiteral("--devices"));
    board_.update(index_, [&](SlotState& s) { s.device = session.device(); });
    session.stopOnPortFailure(say);
    {
      QMutexLocker lock(&mutex_);
      link_ = &com;
      program_ = &program;
      if (stopAsked_) program.StopRequest = true;
    }
    const auto anyPhase = [&](CalvSession::Phase, const QString& text) { say(text); };
    const RunEvents::Slot eventSlot = RunEvents::slotFor(
        port.device.isEmpty() ? std::optional<int>(port.comPort) : std::nullopt, session.device());
    SlotView boardView(board_, index_);
    RunEventView eventView(events_, eventSlot);
    ProgramView& view = plan_.json ? static_cast<ProgramView&>(eventView) : boardView;
    if (plan_.json) events_.start(eventSlot, plan_.file);
    std::optional<ProgramResult> result;
    com.clearPortFailure();
    if (!com.SetupMScomm(commands.ComPort, commands.ComSpeed)) {
      status_ = session.portNotOpened(plan_.file, anyPhase);
    } else {
      com.CloseMScomm();
      result = session.run(plan_.file, view, anyPhase);
      com.CloseMScomm();
      status_ = result ? session.exitStatus(*result) : CalvExit::kDatabase;
    }
    {
      QMutexLocker lock(&mutex_);
      link_ = nullptr;
    }
    if (result)
      for (const QString& reason : CalvSession::notPassedReasons(*result, status_)) say(reason);
    board_.update(index_, [&](SlotState& s) {
      s.ended = true;
      s.status = status_;
      s.outcome = result ? result->status
                         : status_ == CalvExit::kDatabase ? QStringLiteral("database not reached")
                                                          : QStringLiteral("port not opened");
      if (result) s.serial = result->serialWritten;
      s.seconds = std::chrono::duration<double>(Clock::now() - s.started).count();
      s.phase = s.outcome;
      if (plan_.json) events_.end(eventSlot, s.outcome, status_, s.serial, s.seconds);
    });
  }

 private:
  const Plan& plan_;
  RunEvents& events_;
  std::size_t index_;
  Board& board_;
  QString folder_;
  ProductionConfig production_;
  std::function<int()> stopStatus_;
  QMutex mutex_;
  bool stopAsked_ = false;
  QObject* link_ = nullptr;
  ProgramModule* program_ = nullptr;
  int status_ = CalvExit::kFault;
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
