#include "UploadDialogue.h"

#include <serial/SerialLink.h>
#include <serial/EventYield.h>
#include <settings/IniFileHandler.h>
#include <settings/SettingsLock.h>
#include <text/LineReader.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "ProductTable.h"

namespace {

const QByteArray kAnnouncement = QByteArrayLiteral("...");
const QByteArray kRefusal = QByteArrayLiteral("Wrong signature");
const QByteArray kAccepted = QByteArrayLiteral("OK");

const QString kReportSection = QStringLiteral("Romlifter");
const QString kPortClosed = QStringLiteral("\r\nPort closed");
const QString kFileNotReady = QStringLiteral("\r\nFile not ready or wrong type");

// Sets a flag for the lifetime of a loop, so a click taken in during one of
// its yields knows what is running.
class RunningFlag {
 public:
  explicit RunningFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~RunningFlag() { flag_ = false; }
  RunningFlag(const RunningFlag&) = delete;
  RunningFlag& operator=(const RunningFlag&) = delete;

 private:
  bool& flag_;
};

}  // namespace

const QString UploadDialogue::kOpenCaption = QStringLiteral("Open Comm Port");
const QString UploadDialogue::kCloseCaption = QStringLiteral("Close Comm Port");

UploadDialogue::UploadDialogue(SerialLink& com, QString iniPath, const Timing& timing)
    : com_(com), iniPath_(std::move(iniPath)), finalWait_(timing.finalWait), reportClock_(timing.clock) {
  // A running wait or upload sees the closed port itself; an idle open port
  // (the boot loader announced, no upload yet) has nobody watching, so the
  // button would go on offering to close a port that is gone.
  lostWatch_ = QObject::connect(&com_, &SerialLink::deviceLost, &com_, [this] {
    if (waiting_ || uploading_) return;
    BootReady = false;
    closePort();
    appendLog(kPortClosed);
  });
}

UploadDialogue::~UploadDialogue() { QObject::disconnect(lostWatch_); }

void UploadDialogue::setLog(const QString& text) {
  log_ = text;
  view_->setLogText(text);
}

void UploadDialogue::appendLog(const QString& text) {
  log_ += text;
  view_->appendLogText(text);
}

void UploadDialogue::closePort() {
  com_.CloseMScomm();
  view_->setPortCaption(kOpenCaption);
}

std::optional<UploadEnd> UploadDialogue::Commport_Click(std::uint8_t ComPort, LineSpeed speed) {
  BootReady = false;
  if (com_.CheckMScomm()) {
    if (waiting_ || uploading_) {
      // The running loop serves the request and closes the port itself.
      StopRequest = true;
      return std::nullopt;
    }
    // Open and idle: no loop would ever serve a request, so close now.
    StopRequest = false;
    closePort();
    appendLog(kPortClosed);
    return UploadEnd::Cancelled;
  }
  StopRequest = false;
  com_.ReplyBuffer.clear();
  setLog(QString());

  if (!com_.SetupMScomm(ComPort, speed.code())) return UploadEnd::NotStarted;  // the link told the operator why
  view_->setPortCaption(kCloseCaption);
  setLog(QStringLiteral("Waiting for response...\r\n"));

  RunningFlag running(waiting_);
  bool expired = false;
  bool lost = false;
  const bool announced = waitFor(
      [&](bool limitPassed) -> std::optional<bool> {
        if (limitPassed) {
          expired = true;
          StopRequest = true;
        }
        // A device that vanished ends the wait as the port button would.
        if (StopRequest || !com_.CheckMScomm()) {
          lost = !StopRequest;
          return false;
        }
        if (com_.ReplyBuffer.contains(kAnnouncement)) return true;
        return std::nullopt;
      },
      bootWaitLimit_, kYieldBlock, com_.clock());
  if (!announced) {
    StopRequest = false;
    closePort();
    appendLog(kPortClosed);
    return expired ? UploadEnd::NoBootLoader : lost ? UploadEnd::PortLost : UploadEnd::Cancelled;
  }
  setLog(QStringLiteral("Amplifier and CD Boot Loader\r\nWaiting for firmware upload..."));
  BootReady = true;
  return std::nullopt;
}

void UploadDialogue::Serial_cancel_Click() {
  view_->setUploadEnabled(true);
  StopRequest = true;
}

UploadResult UploadDialogue::BtnUpload_Click(const UploadFile& file) {
  // Possible once "Cancel Upload" enabled the button again; a second run
  // would open the file twice and interleave its lines with the first.
  if (uploading_) return {};
  uploading_ = true;
  view_->setUploadEnabled(false);
  appendLog(QStringLiteral("\r\nupdating...\r\n"));
  // Nothing sent: the end is shown at once and the button is usable again.
  const auto notStarted = [this](const QString& text) {
    appendLog(text);
    view_->setUploadEnabled(true);
    uploading_ = false;
    return UploadResult{};
  };

  if (!file.FileValid) return notStarted(kFileNotReady);
  // A refused, failed or cancelled upload closed the port: sending on it
  // would go nowhere, so it no longer counts as ready.
  if (!BootReady || !com_.CheckMScomm()) return notStarted(QStringLiteral("\r\nNot ready for boot"));

  StopRequest = false;
  pendingFile_ = file;
  LineReader in(LineEnd::CrOrCrLf);
  // Moved, deleted or unreadable since the check: nothing sent, no report.
  if (!in.open(file.FileName) || (in.atEnd() && in.failed())) return notStarted(kFileNotReady);

  const std::chrono::milliseconds pause{LineDelay};
  int linesSent = 0;
  bool readFailed = false;
  bool portLost = false;
  WaitClock& clock = com_.clock();
  while (!in.atEnd() && !StopRequest) {
    clock.yield(kYieldBlock);
    const QByteArray line = in.readLine().value_or(QByteArray());
    if (in.failed()) {
      readFailed = true;
      break;
    }
    appendLog(QStringLiteral(" ."));
    view_->repaintLog();

    com_.SendMScommString(line);
    ++linesSent;
    // Each send is stamped once it has returned: the driver had the bytes by
    // then at the latest, so a thread held up inside a send cannot shorten
    // the silence.
    const auto firstSend = clock.now();
    com_.SendMScommString(QByteArrayLiteral("\r"));
    com_.SendMScommString(QByteArrayLiteral("\n"));
    const auto lineFeedSend = clock.now();
    // The silence counts from the moment the line feed has left the wire:
    // the transmit time of what was sent, and no sooner than the driver
    // reports it drained.
    const auto byteTime = com_.MSComm1().byteTime();
    // A stop request ends the wait; a stalled line closes the port (seen below).
    com_.MSComm1().drainOutput([this] { return StopRequest; });
    const auto leftTheWire = std::max<WaitClock::TimePoint>({firstSend + byteTime * (line.size() + 2), lineFeedSend + byteTime,
                                       clock.now()});
    // Sleeps rather than yields: nothing is taken in during the pause, as the
    // boot loader's pace expects; a monotonic clock so midnight cannot stall it.
    clock.sleepUntil(leftTheWire + pause);

    if (com_.ReplyBuffer.contains(kRefusal)) {
      com_.ReplyBuffer.clear();
      in.close();
      closePort();
      return ended(Ending::WrongFile, UploadEnd::WrongFile, linesSent);
    }
    if (!com_.CheckMScomm()) {
      portLost = true;
      break;
    }
  }
  in.close();

  // Part of the file went out: the boot loader holds an unfinished image.
  if (readFailed) return ended(Ending::ReadFailed, UploadEnd::Failed, linesSent);
  // The device vanished mid-file: whatever it took is unfinished.
  if (portLost) return ended(Ending::Failed, UploadEnd::PortLost, linesSent);
  if (StopRequest) {
    StopRequest = false;
    return ended(Ending::Cancelled, UploadEnd::Cancelled, linesSent);
  }
  UploadEnd end = UploadEnd::Failed;
  const bool accepted = waitFor(
      [&](bool timedOut) -> std::optional<bool> {
        if (timedOut) return false;
        if (com_.ReplyBuffer.contains(kAccepted)) return true;
        // Only after "OK" was looked for: a boot loader may accept and then drop the line.
        if (!com_.CheckMScomm()) {
          end = UploadEnd::PortLost;
          return false;
        }
        return std::nullopt;
      },
      finalWait_, kYieldBlock, clock);
  if (accepted) return ended(Ending::Succeeded, UploadEnd::Succeeded, linesSent);
  return ended(Ending::Failed, end, linesSent);
}

UploadResult UploadDialogue::ended(Ending ending, UploadEnd end, int linesSent) {
  pending_ = ending;
  return {end, linesSent};
}

void UploadDialogue::showEnd() {
  if (!pending_) return;
  const Ending ending = *std::exchange(pending_, std::nullopt);
  switch (ending) {
    case Ending::WrongFile:
      // The port is closed already; the report keeps the last upload's.
      appendLog(QStringLiteral("\r\nWrong File") + kPortClosed);
      break;
    case Ending::Succeeded:
      appendLog(QStringLiteral("\r\nUpdated with success") + kPortClosed);
      writeReport(pendingFile_, QStringLiteral("Succes"));
      view_->repaintLog();
      BootReady = false;
      closePort();
      break;
    case Ending::ReadFailed:
    case Ending::Failed:
    case Ending::Cancelled:
      if (ending == Ending::ReadFailed) {
        appendLog(kFileNotReady);
        writeReport(pendingFile_, QStringLiteral("Failed"));
      } else if (ending == Ending::Cancelled) {
        appendLog(QStringLiteral("\r\nUpdate cancelled"));
        writeReport(pendingFile_, QStringLiteral("Cancelled"));
      } else {
        appendLog(QStringLiteral("\r\nUpdate Failed"));
        writeReport(pendingFile_, QStringLiteral("Failed"));
        view_->repaintLog();
      }
      closePort();
      appendLog(kPortClosed);
      break;
  }
  view_->setUploadEnabled(true);
  uploading_ = false;
}

void UploadDialogue::writeReport(const UploadFile& file, const QString& status) {
  const Product* product = ProductTable::forCode(file.ProductCode);
  const QDateTime now = reportClock_();
  // One upload's four keys together: uploads on several ports at once end
  // at about the same time, and a report must not mix theirs.
  const SettingsLock whole(iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("Product"),
                                product ? QString::fromLatin1(product->displayName) : QString(),
                                iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("File name"), file.FileName,
                                iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("Upload time"),
                                now.toString(QStringLiteral("dd/MM/yyyy hh:mm")), iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("Status"), status, iniPath_);
}
