#pragma once

#include <cli/RunEvents.h>

#include "UploadDialogue.h"

// romlift --json: the upload dialogue's log as events of one slot, each new
// status text a phase ("Waiting for response...", "updating...", "Updated
// with success") and each sent line's mark the lines sent so far.
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
  QString lastPhase_;
};
