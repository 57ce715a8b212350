#include "UploadDialogue.h"

#include <serial/SerialLink.h>
#include <serial/EventYield.h>
#include <settings/IniFileHandler.h>
#include <text/LineReader.h>

#include <algorithm>

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

UploadDialogue::UploadDialogue(SerialLink& com, UploadView& view, QString iniPath, const Timing& timing)
    : com_(com), view_(view), iniPath_(std::move(iniPath)), finalWait_(timing.finalWait), reportClock_(timing.clock) {
  // A running wait or upload sees the closed port itself; an idle open port
  // (the boot loader announced, no upload yet) has nobody watching, so the
  // button would go on offering to close a port that is gone.
  lostWatch_ = QObject::connect(&com_, &SerialLink::deviceLost, &com_, [this] {
    if (waiting_ || uploading_) return;
    BootReady = false;
    closePort();
    view_.appendLogText(kPortClosed);
  });
}

UploadDialogue::~UploadDialogue() { QObject::disconnect(lostWatch_); }

void UploadDialogue::closePort() {
  com_.CloseMScomm();
  view_.setPortCaption(kOpenCaption);
}

std::optional<UploadEnd> UploadDialogue::Commport_Click(std::uint8_t ComPort, std::uint8_t ComSpeed) {
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
    view_.appendLogText(kPortClosed);
    return UploadEnd::Cancelled;
  }
  StopRequest = false;
  com_.ReplyBuffer.clear();
  view_.setLogText(QString());

  if (!com_.SetupMScomm(ComPort, ComSpeed)) return UploadEnd::NotStarted;  // the link told the operator why
  view_.setPortCaption(kCloseCaption);
  view_.setLogText(QStringLiteral("Waiting for response...\r\n"));

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
    view_.appendLogText(kPortClosed);
    return expired ? UploadEnd::NoBootLoader : lost ? UploadEnd::PortLost : UploadEnd::Cancelled;
  }
  view_.setLogText(QStringLiteral("Amplifier and CD Boot Loader\r\nWaiting for firmware upload..."));
  BootReady = true;
  return std::nullopt;
}

void UploadDialogue::Serial_cancel_Click() {
  view_.setUploadEnabled(true);
  StopRequest = true;
}

UploadEnd UploadDialogue::BtnUpload_Click(const UploadFile& file) {
  // Possible once "Cancel Upload" enabled the button again; a second run
  // would open the file twice and interleave its lines with the first.
  if (uploading_) return UploadEnd::NotStarted;
  RunningFlag running(uploading_);

  LineReader in(LineEnd::CrOrCrLf);
  // Every ending enables the button again and leaves the file closed.
  struct Finish {
    UploadView& view;
    LineReader& in;
    ~Finish() {
      view.setUploadEnabled(true);
      in.close();
    }
  } finish{view_, in};

  view_.setUploadEnabled(false);
  view_.appendLogText(QStringLiteral("\r\nupdating...\r\n"));

  if (!file.FileValid) {
    view_.appendLogText(kFileNotReady);
    return UploadEnd::NotStarted;
  }
  // A refused, failed or cancelled upload closed the port: sending on it
  // would go nowhere, so it no longer counts as ready.
  if (!BootReady || !com_.CheckMScomm()) {
    view_.appendLogText(QStringLiteral("\r\nNot ready for boot"));
    return UploadEnd::NotStarted;
  }

  StopRequest = false;
  linesSent_ = 0;
  // Moved, deleted or unreadable since the check: nothing sent, no report.
  if (!in.open(file.FileName) || (in.atEnd() && in.failed())) {
    view_.appendLogText(kFileNotReady);
    return UploadEnd::NotStarted;
  }

  const std::chrono::milliseconds pause{LineDelay};
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
    view_.appendLogText(QStringLiteral(" ."));
    view_.repaintLog();

    com_.SendMScommString(line);
    ++linesSent_;
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
      endReached(UploadEnd::WrongFile);
      view_.appendLogText(QStringLiteral("\r\nWrong File") + kPortClosed);
      return UploadEnd::WrongFile;
    }
    if (!com_.CheckMScomm()) {
      portLost = true;
      break;
    }
  }

  UploadEnd end = UploadEnd::Failed;
  if (readFailed) {
    // Part of the file went out: the boot loader holds an unfinished image.
    endReached(end);
    view_.appendLogText(kFileNotReady);
    writeReport(file, QStringLiteral("Failed"));
  } else if (portLost) {
    // The device vanished mid-file: whatever it took is unfinished.
    end = UploadEnd::PortLost;
    endReached(end);
    view_.appendLogText(QStringLiteral("\r\nUpdate Failed"));
    writeReport(file, QStringLiteral("Failed"));
    view_.repaintLog();
  } else if (StopRequest) {
    StopRequest = false;
    end = UploadEnd::Cancelled;
    endReached(end);
    view_.appendLogText(QStringLiteral("\r\nUpdate cancelled"));
    writeReport(file, QStringLiteral("Cancelled"));
  } else {
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
    if (accepted) {
      endReached(UploadEnd::Succeeded);
      view_.appendLogText(QStringLiteral("\r\nUpdated with success") + kPortClosed);
      writeReport(file, QStringLiteral("Succes"));
      view_.repaintLog();
      BootReady = false;
      closePort();
      return UploadEnd::Succeeded;
    }
    endReached(end);
    view_.appendLogText(QStringLiteral("\r\nUpdate Failed"));
    writeReport(file, QStringLiteral("Failed"));
    view_.repaintLog();
  }
  in.close();
  closePort();
  view_.appendLogText(kPortClosed);
  return end;
}

void UploadDialogue::endReached(UploadEnd end) {
  if (EndReached) EndReached(end);
}

void UploadDialogue::writeReport(const UploadFile& file, const QString& status) {
  const Product* product = ProductTable::forCode(file.ProductCode);
  const QDateTime now = reportClock_();
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("Product"),
                                product ? QString::fromLatin1(product->displayName) : QString(),
                                iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("File name"), file.FileName,
                                iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("Upload time"),
                                now.toString(QStringLiteral("dd/MM/yyyy hh:mm")), iniPath_);
  IniFileHandler::WriteIniValue(kReportSection, QStringLiteral("Status"), status, iniPath_);
}
