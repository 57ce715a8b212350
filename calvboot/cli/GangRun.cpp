#include "GangRun.h"

#include "RunEventView.h"

#include <cli/CommandRun.h>
#include <cli/Console.h>
#include <cli/SlotBoard.h>
#include <session/CalvSession.h>
#include <session/CalvSlot.h>

#include <chrono>
#include <memory>
#include <optional>

namespace GangRun {
namespace {

using Clock = std::chrono::steady_clock;
using cli::SlotBoard;
using cli::SlotState;

// What one slot does, on the board and as events: the slot's listener, called
// on its thread.
class SlotReport : public CalvSlot::Listener {
 public:
  SlotReport(const Plan& plan, std::size_t index, SlotBoard& board, RunEvents& events)
      : plan_(plan), events_(events), index_(index), board_(board) {
    name_ = plan_.ports[index_].name();
  }

  void opening(const QString& device) override {
    board_.setDevice(index_, device);
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
    if (plan_.json) {
      eventView_->blockChecked(block, moduleCrc, pcCrc);
      return;
    }
    board_.update(index_, [&](SlotState& s) {
      s.step = QStringLiteral("block %1 %2").arg(block).arg(moduleCrc == pcCrc ? QStringLiteral("CRC ok")
                                                                              : QStringLiteral("CRC differs"));
    });
  }
  void said(const QString& text) override { cli::Console::error(QStringLiteral("calvboot: %1: %2").arg(name_, text)); }
  // The link's lines name their port already.
  void linkLine(const QString& line) override { cli::Console::error(line); }
  void ended(const CalvSlot::End& end) override {
    double seconds = 0;
    board_.update(index_, [&](SlotState& s) {
      s.ended = true;
      s.status = end.status;
      s.outcome = end.outcome;
      if (end.serial) s.serial = QString::number(*end.serial);
      s.seconds = std::chrono::duration<double>(Clock::now() - s.started).count();
      s.phase = s.outcome;
      seconds = s.seconds;
    });
    // Outside the board's lock, which its output takes too.
    if (plan_.json) events_.end(eventSlot_, end.outcome, end.status, end.serial, seconds);
  }

 private:
  const Plan& plan_;
  RunEvents& events_;
  std::size_t index_;
  SlotBoard& board_;
  QString name_;
  RunEvents::Slot eventSlot_;
  std::optional<RunEventView> eventView_;
};

CalvSlot::Setup slotSetup(const Plan& plan, std::size_t index, const QString& folder, ProductionConfig production,
                          std::function<int()> stopStatus) {
  CalvSlot::Setup setup;
  setup.port = plan.ports[index];
  setup.speed = plan.speed;
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
  Slot(const Plan& plan, std::size_t index, SlotBoard& board, RunEvents& events, const QString& folder,
       ProductionConfig production, std::function<int()> stopStatus)
      : SlotReport(plan, index, board, events),
        CalvSlot(slotSetup(plan, index, folder, std::move(production), std::move(stopStatus)), *this) {}
};

}  // namespace

int run(cli::CommandRun& run, const Plan& plan) {
  SlotBoard board(cli::slotNames(plan.ports), QStringLiteral("bytes"), plan.json);
  // Written by the main thread with the board's other output.
  RunEvents events([&board](const QByteArray& line) { board.output(line); });
  const ProductionConfig production = run.production();
  std::vector<std::unique_ptr<Slot>> units;
  std::vector<QThread*> threads;
  for (std::size_t i = 0; i < plan.ports.size(); ++i) {
    units.push_back(
        std::make_unique<Slot>(plan, i, board, events, run.folder(), production, [&run] { return run.stopStatus(); }));
    threads.push_back(units.back().get());
  }
  return cli::runSlots(run, board, threads, [&units] {
    for (const auto& slot : units) slot->requestStop();
  }, !plan.json);
}

}  // namespace GangRun
