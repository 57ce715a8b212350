#include "GangRun.h"

#include "RunEvents.h"

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>

#include <cli/CommandRun.h>
#include <cli/Console.h>
#include <cli/SlotBoard.h>
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
using cli::SlotBoard;
using cli::SlotState;

// The sequence's view for one slot: its status line is the slot's phase.
class SlotView : public ProgramView {
 public:
  SlotView(SlotBoard& board, std::size_t index) : board_(board), index_(index) {}
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
  SlotBoard& board_;
  std::size_t index_;
};

// One slot: its own session, on its own thread, from the port check to the
// record. A stop asked from the main thread reaches the sequence through the
// slot's event loop, after the command in flight.
class Slot : public cli::SlotThread {
 public:
  Slot(const Plan& plan, std::size_t index, SlotBoard& board, RunEvents& events, const QString& folder,
       ProductionConfig production, std::function<int()> stopStatus)
      : plan_(plan),
        events_(events),
        index_(index),
        board_(board),
        folder_(folder),
        production_(std::move(production)),
        stopStatus_(std::move(stopStatus)) {}

  void requestStop() override {
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
    board_.setDevice(index_, session.device());
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
      const std::optional<std::uint32_t> serial = result ? result->serialWritten : std::nullopt;
      if (serial) s.serial = QString::number(*serial);
      s.seconds = std::chrono::duration<double>(Clock::now() - s.started).count();
      s.phase = s.outcome;
      if (plan_.json) events_.end(eventSlot, s.outcome, status_, serial, s.seconds);
    });
  }

 private:
  const Plan& plan_;
  RunEvents& events_;
  std::size_t index_;
  SlotBoard& board_;
  QString folder_;
  ProductionConfig production_;
  std::function<int()> stopStatus_;
  QMutex mutex_;
  bool stopAsked_ = false;
  QObject* link_ = nullptr;
  ProgramModule* program_ = nullptr;
  int status_ = CalvExit::kFault;
};

}  // namespace

int run(cli::CommandRun& run, const Plan& plan) {
  SlotBoard board(cli::slotNames(plan.ports), QStringLiteral("bytes"), plan.json);
  RunEvents events;
  const ProductionConfig production = run.production();
  std::vector<std::unique_ptr<cli::SlotThread>> units;
  for (std::size_t i = 0; i < plan.ports.size(); ++i)
    units.push_back(
        std::make_unique<Slot>(plan, i, board, events, run.folder(), production, [&run] { return run.stopStatus(); }));
  return cli::runSlots(run, board, units, !plan.json);
}

}  // namespace GangRun
