#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <serial/Timing.h>

class SerialLink;

// What the upload dialogue changes on the window: the on-screen log
// Text_Serinput, the port button's caption and the Upload button.
class UploadView {
 public:
  virtual ~UploadView() = default;
  virtual void setLogText(const QString& text) = 0;
  virtual void appendLogText(const QString& text) = 0;
  virtual void repaintLog() = 0;
  virtual void setPortCaption(const QString& caption) = 0;
  virtual void setUploadEnabled(bool enabled) = 0;
};

// The file an upload sends, as the file check left it.
struct UploadFile {
  bool FileValid = false;
  QString FileName;
  std::uint8_t ProductCode = 0;
};

// How an upload, or the wait for the boot loader before it, ended.
enum class UploadEnd {
  Succeeded,     // "Updated with success"
  Failed,        // "Update Failed": no "OK", or the file could not be read to its end
  Cancelled,     // "Update cancelled", or the port button during the wait
  WrongFile,     // the boot loader refused a line
  NotStarted,    // the port did not open, or no file or boot loader was ready
  PortLost,      // the device vanished
  NoBootLoader,  // no announcement within a command-line run's wait limit
};

// The dialogue with a product's boot loader: open the port and wait for its
// announcement, send the file line by line at a fixed pace, watch for the
// refusal, wait for the final acknowledgement and write the upload report.
// Every wait runs on the caller's thread and yields to the event loop, so
// clicks and received bytes are taken in meanwhile.
class UploadDialogue {
 public:
  static constexpr std::int16_t kDefaultLineDelay = 350;  // ms

  static const QString kOpenCaption;
  static const QString kCloseCaption;

  // iniPath: setup.ini, where the upload report goes.
  UploadDialogue(SerialLink& com, UploadView& view, QString iniPath, const Timing& timing = {});
  ~UploadDialogue();
  UploadDialogue(const UploadDialogue&) = delete;
  UploadDialogue& operator=(const UploadDialogue&) = delete;

  bool BootReady = false;
  bool StopRequest = false;
  std::int16_t LineDelay = kDefaultLineDelay;  // ms of silence after each line
  // Called once an upload that began sending has ended, before its end is
  // shown: what must outlast a crash (the run record) is written here.
  std::function<void(UploadEnd)> EndReached;

  // The port button: opens the port and waits for "...", or asks the
  // running wait or upload to stop, or closes an idle open port at once.
  // Nothing when the boot loader is ready or a running loop was asked to
  // stop; else how the wait ended.
  std::optional<UploadEnd> Commport_Click(std::uint8_t ComPort, std::uint8_t ComSpeed);
  // "Upload": sends file when the boot loader is ready. A click while an
  // upload runs is ignored (NotStarted).
  UploadEnd BtnUpload_Click(const UploadFile& file);
  // "Cancel Upload".
  void Serial_cancel_Click();

  // Lines the last upload sent to the boot loader.
  int linesSent() const { return linesSent_; }
  bool isWaitingForBootLoader() const { return waiting_; }
  bool isUploading() const { return uploading_; }

  // A command-line run waits for "..." only so long, then closes the port as
  // the port button does; the window never sets it and waits for the operator.
  void setBootWaitLimit(std::optional<std::chrono::milliseconds> limit) { bootWaitLimit_ = limit; }

 private:
  void closePort();
  void endReached(UploadEnd end);
  void writeReport(const UploadFile& file, const QString& status);

  SerialLink& com_;
  UploadView& view_;
  QString iniPath_;
  bool waiting_ = false;
  bool uploading_ = false;
  int linesSent_ = 0;
  std::chrono::milliseconds finalWait_;
  std::function<QDateTime()> reportClock_;
  std::optional<std::chrono::milliseconds> bootWaitLimit_;
  QMetaObject::Connection lostWatch_;
};
