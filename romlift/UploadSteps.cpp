#include "UploadSteps.h"

#include <QStringList>

#include <serial/SerialLink.h>
#include <text/LineReader.h>

#include "RomliftSession.h"
#include "UploadRecord.h"

namespace UploadSteps {

namespace {

const QString kPortClosed = QStringLiteral("Port closed");

// The last line of the log worth ending on: the result, not "Port closed".
QString lastWord(const QString& log) {
  QStringList lines = log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  while (lines.size() > 1 && (lines.last() == kPortClosed || lines.last().trimmed() == u"."))
    lines.removeLast();
  return lines.isEmpty() ? QString() : lines.last().trimmed();
}

}  // namespace

void prepare(RomliftSession& session, const cli::PortChoice& port, const Choices& choices) {
  if (port.comPort != 0) session.selectPort(port.comPort);
  session.selectSpeed(port.speed.value_or(LineSpeed()));
  session.setDevice(port.device);
  if (choices.delay) session.dialogue().LineDelay = *choices.delay;
  session.dialogue().setBootWaitLimit(std::chrono::seconds{choices.waitBoot});
  session.setProduction(choices.production);
}

Outcome run(RomliftSession& session, long waitBoot, const MessageSink& errors) {
  Outcome outcome;
  // The port button, with the run's port and speed.
  const std::optional<UploadEnd> waited = session.openPort();
  if (waited == UploadEnd::NotStarted) {
    outcome.end = UploadEnd::NotStarted;  // recorded by the session
  } else if (!session.dialogue().BootReady) {
    outcome.end = waited.value_or(UploadEnd::Cancelled);
    outcome.finalLine = kPortClosed;
    if (outcome.end == UploadEnd::NoBootLoader) errors(QStringLiteral("no boot loader within %1 s").arg(waitBoot));
  } else {
    outcome.end = session.upload().end;
    outcome.finalLine = lastWord(session.dialogue().logText());
  }
  session.link().CloseMScomm();
  return outcome;
}

QString endText(RomliftSession& session, const Outcome& outcome) {
  if (outcome.end == UploadEnd::NotStarted && outcome.finalLine.isEmpty())
    return session.link().portFailure().value_or(QStringLiteral("Comm Port not open"));
  if (outcome.end == UploadEnd::NoBootLoader || (outcome.end == UploadEnd::PortLost && !session.dialogue().BootReady))
    return UploadRecord::endingText(outcome.end);
  return outcome.finalLine;
}

int lineCount(const QString& path) {
  LineReader in(LineEnd::CrOrCrLf);
  if (!in.open(path)) return 0;
  int n = 0;
  while (!in.atEnd() && in.readLine()) ++n;
  return n;
}

}  // namespace UploadSteps
