#pragma once

#include <chrono>
#include <optional>

#include <cli/RunEvents.h>

#include "UploadDialogue.h"

// romlift --json: the upload dialogue's log as events of one slot, each new
// status text a phase ("Waiting for response...", "updating...", "Updated
// with success") and the lines sent so far, at most four times a second
// (the first and the last line always), as calvboot's bytes.
class UploadEventView : public UploadView {
 public:
  UploadEventView(cli::RunEvents& events, cli::RunEvents::Slot slot, int totalLines)
      : events_(events), slot_(std::move(slot)), total_(totalLines) {}
  void setLogText(const QString& text) override { appendLogText(text); }
  void appendLogText(const QString& text) override;
  void repaintLog() override {}
  void setPortCaption(const QString&) override {}
  void setUploadEnabled(bool) override {}

 private:
  cli::RunEvents& events_;
  cli::RunEvents::Slot slot_;
  int total_;
  int sent_ = 0;
  std::optional<std::chrono::steady_clock::time_point> lastProgress_;
  QString lastPhase_;
};
