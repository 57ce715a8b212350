#include "RomliftSession.h"

#include <QDir>
#include <QMutexLocker>

#include <serial/SerialLink.h>
#include <serial/SerialPortControl.h>
#include <settings/IniFileHandler.h>

#include "StartupSettings.h"
#include "UploadRecord.h"
#include "UploaderRule.h"

RomliftSession::RomliftSession(Start start, const QString& folder, MessageSink messages, const Timing& timing)
    : start_(start),
      iniPath_(QDir(folder).filePath(QStringLiteral("setup.ini"))),
      link_(std::make_unique<SerialLink>(std::make_unique<UploaderRule>(), folder, timing)),
      dialogue_(std::make_unique<UploadDialogue>(*link_, iniPath_, timing)),
      messages_(std::move(messages)),
      recordMessages_(messages_) {
  // The window's start-up reads, in its order: a window start writes the
  // defaults of missing keys back, a command-line run stores nothing.
  const auto read = [this](const char* section, const char* key, const char* fallback) {
    const QString s = QString::fromLatin1(section), k = QString::fromLatin1(key), f = QString::fromLatin1(fallback);
    return start_ == Start::Window ? IniFileHandler::ReadIniValue(s, k, f, iniPath_)
                                   : IniFileHandler::ReadIniValueOrDefault(s, k, f, iniPath_);
  };
  dialogue_->LineDelay = StartupSettings::lineDelayFromText(read("Romlifter", "Delay", "350"));
  selectPort(StartupSettings::comPortFromText(read("ComSettings", "ComPort", "1")));
  serialWindow_ = SerialLink::isDebugValue(read("AmpCom", "Debug", "0"));
}

RomliftSession::~RomliftSession() = default;

void RomliftSession::selectPort(std::uint8_t port) {
  comPort_ = (port >= 1 && port <= kPortCount) ? port : 1;
  // The given number, not the corrected one: the file keeps what it held.
  if (start_ == Start::Window)
    IniFileHandler::WriteIniValue(QStringLiteral("ComSettings"), QStringLiteral("ComPort"), QString::number(port),
                                  iniPath_);
}

QString RomliftSession::device() const {
  return device_.isEmpty() ? SerialPortControl::deviceForPort(comPort_, iniPath_) : device_;
}

ProductionConfig RomliftSession::recordConfig() const {
  return production_ ? *production_ : ProductionConfig::fromIni(iniPath_);
}

UploadFile RomliftSession::uploadFile() const { return {check_.FileValid, check_.FileName, check_.ProductCode}; }

std::optional<int> RomliftSession::recordedStatus(UploadEnd end) const {
  if (start_ == Start::Window) return std::nullopt;
  return exitStatus(end);
}

std::optional<UploadEnd> RomliftSession::openPort() {
  // Only here: the window's start-up probes the ports by their numbers.
  link_->MSComm1().setDeviceOverride(device_);
  const std::optional<UploadEnd> waited = dialogue_->Commport_Click(comPort_, speed_);
  if (start_ == Start::CommandLine && waited == UploadEnd::NotStarted) {
    // Nothing was sent; the record says why the port did not open.
    const QMutexLocker ending(endLock_);
    UploadRecord record(recordConfig(), recordMessages_);
    record.portNotOpened(uploadFile(), comPort_, device(),
                         link_->portFailure().value_or(QStringLiteral("Comm Port not open")),
                         exitStatus(UploadEnd::NotStarted));
  }
  return waited;
}

UploadResult RomliftSession::upload() {
  // A click while an upload runs (or keeps its record) is ignored: the
  // running upload's record and end are its own.
  if (dialogue_->isUploading()) return {};
  const UploadFile file = uploadFile();
  UploadRecord record(recordConfig(), recordMessages_);
  record.begin(file, comPort_, device());
  const UploadResult result = dialogue_->BtnUpload_Click(file);
  const QMutexLocker ending(endLock_);
  // On disk before the end shows, so it outlasts whatever comes next.
  record.end(result, recordedStatus(result.end));
  dialogue_->showEnd();
  return result;
}

void RomliftSession::requestStop(int stopStatus) {
  dialogue_->StopRequest = true;
  if (stopStatus_ == 0) stopStatus_ = stopStatus;
}

int RomliftSession::exitStatus(UploadEnd end) const {
  if (link_->portFailure()) return kExitPort;
  switch (end) {
    case UploadEnd::Succeeded: return kExitOk;
    case UploadEnd::WrongFile: return kExitWrongFile;
    case UploadEnd::Cancelled: return stopStatus_ != 0 ? stopStatus_ : kExitInterrupted;
    case UploadEnd::NoBootLoader: return kExitNoBootLoader;
    case UploadEnd::PortLost: return kExitPort;  // the line named on standard error
    case UploadEnd::Failed:
    case UploadEnd::NotStarted: break;
  }
  return kExitFailed;
}
