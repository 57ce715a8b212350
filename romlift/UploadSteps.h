#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

#include <cli/CommandLine.h>
#include <platform/MessageSink.h>
#include <production/Production.h>

#include "UploadDialogue.h"

class RomliftSession;

// What a command-line upload does, one unit or one slot of several alike.
namespace UploadSteps {

// The run's choices beside its port: they hold for this run only.
struct Choices {
  std::optional<std::int16_t> delay;  // ms; none: setup.ini's
  long waitBoot = 120;                // seconds for the boot loader
  ProductionConfig production;
};

// The port, speed, line delay, wait limit and record settings into session.
void prepare(RomliftSession& session, const cli::PortChoice& port, const Choices& choices);

// How the upload ended, and the line it ends on ("Updated with success",
// "Port closed"; empty when the port did not open).
struct Outcome {
  UploadEnd end = UploadEnd::NotStarted;
  QString finalLine;
};

// The port button, then "Upload" once the boot loader announced itself;
// errors hears why no boot loader came. The port is closed at the end.
Outcome run(RomliftSession& session, long waitBoot, const MessageSink& errors);

// The words a run ends on, for a slot's row or the end event: the final
// line, else why the port did not open; the ending's own words where the
// boot loader never answered rather than "Port closed".
QString endText(RomliftSession& session, const Outcome& outcome);

// The lines of an S-record file, as the upload reads them.
int lineCount(const QString& path);

}  // namespace UploadSteps
