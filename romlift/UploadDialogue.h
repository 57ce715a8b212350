#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <serial/LineSpeed.h>
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

// How an upload ended, and how many lines it sent to the boot loader.
struct UploadResult {
  UploadEnd end = UploadEnd::NotStarted;
  int linesSent = 0;
};

// The dialogue with a product's boot loader: open the port and wait for its
// announcement, send the file line by line at a fixed pace, watch for the
// refusal, wait for the final acknowledgement and write the upload report.
// Every wait runs on the caller's thread and yields to the event loop, so
// clicks and received bytes are taken in meanwhile. What it shows goes to
// its view (none until one is set).
class UploadDialogue {
 public:
  static constexpr std::int16_t kDefaultLineDelay = 350;  // ms

  static const QString kOpenCaption;
  static const QString kCloseCaption;

  // iniPath: setup.ini, where the upload report goes.
  UploadDialogue(SerialLink& com, QString iniPath, const Timing& timing = {});
  ~UploadDialogue();
  UploadDialogue(const UploadDialogue&) = delete;
  UploadDialogue& operator=(const UploadDialogue&) = delete;

  bool BootReady = false;
  bool StopRequest = false;
  std::int16_t LineDelay = kDefaultLineDelay;  // ms of silence after each line

  void setView(UploadView* view) { view_ = view ? view : &noView_; }
  // The log as the dialogue wrote it, CR LF line breaks.
  const QString& logText() const { return log_; }

  // The port button: opens the port and waits for "...", or asks the
  // running wait or upload to stop, or closes an idle open port at once.
  // Nothing when the boot loader is ready or a running loop was asked to
  // stop; else how the wait ended.
  std::optional<UploadEnd> Commport_Click(std::uint8_t ComPort, LineSpeed speed);
  // "Upload": sends file when the boot loader is ready. A click while an
  // upload runs is ignored (NotStarted). An upload that got as far as
  // sending returns with its end not yet shown and still counts as
  // uploading: what must outlast a crash (the run record) is kept first,
  // then showEnd() shows it.
  UploadResult BtnUpload_Click(const UploadFile& file);
  // The end of the last upload: its log line, the upload report, the port
  // closed and the Upload button usable again. Nothing when none is pending.
  void showEnd();
  // "Cancel Upload".
  void Serial_cancel_Click();

  bool isWaitingForBootLoader() const { return waiting_; }
  bool isUploading() const { return uploading_; }

  // A command-line run waits for "..." only so long, then closes the port as
  // the port button does; the window never sets it and waits for the operator.
  void setBootWaitLimit(std::optional<std::chrono::milliseconds> limit) { bootWaitLimit_ = limit; }

 private:
  // How a sending upload ended, as the log and the report tell it.
  enum class Ending { WrongFile, ReadFailed, Failed, Cancelled, Succeeded };
  struct NoView : UploadView {
    void setLogText(const QString&) override {}
    void appendLogText(const QString&) override {}
    void repaintLog() override {}
    void setPortCaption(const QString&) override {}
    void setUploadEnabled(bool) override {}
  };

  UploadResult ended(Ending ending, UploadEnd end, int linesSent);
  void setLog(const QString& text);
  void appendLog(const QString& text);
  void closePort();
  void writeReport(const UploadFile& file, const QString& status);

  SerialLink& com_;
  NoView noView_;
  UploadView* view_ = &noView_;
  QString iniPath_;
  QString log_;
  bool waiting_ = false;
  bool uploading_ = false;
  std::optional<Ending> pending_;
  UploadFile pendingFile_;
  std::chrono::milliseconds finalWait_;
  std::function<QDateTime()> reportClock_;
  std::optional<std::chrono::milliseconds> bootWaitLimit_;
  QMetaObject::Connection lostWatch_;
};
