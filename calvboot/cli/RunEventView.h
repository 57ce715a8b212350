#pragma once

#include <chrono>
#include <optional>

#include <cli/RunEvents.h>
#include <programming/ProgramModule.h>

using cli::RunEvents;

// calvboot's own event: a block's CRC comparison.
void blockEvent(RunEvents& events, const RunEvents::Slot& slot, int block, int moduleCrc, int pcCrc);

// A run's view that turns the sequence's changes into events: a phase for
// each new status text, a block for each CRC comparison, and progress at most
// four times a second (and the last).
class RunEventView : public ProgramView {
 public:
  RunEventView(RunEvents& events, RunEvents::Slot slot) : events_(events), slot_(std::move(slot)) {}
  void setStatusText(const QString& text) override;
  void setProgress(float) override {}
  void bytesSent(qint64 done, qint64 total) override;
  void blockChecked(int block, int moduleCrc, int pcCrc) override { blockEvent(events_, slot_, block, moduleCrc, pcCrc); }

 private:
  RunEvents& events_;
  RunEvents::Slot slot_;
  QString lastPhase_;
  std::optional<std::chrono::steady_clock::time_point> lastProgress_;
};
