#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

#include <platform/MessageSink.h>

// The traffic log Log.txt: a boxed six-line header when logging starts, then
// one time-stamped line per shown "TX: "/"RX: " line. Each line is a complete
// open-append-close. A file that cannot be deleted, opened or written drops
// the line; the serial traffic goes on.
class TrafficLog {
 public:
  static constexpr int kHeaderWidth = 107;

  TrafficLog(QString fileName, std::function<QDateTime()> clock);
  // Where a log file that is no regular file is named (once).
  void setMessageSink(MessageSink sink) { messages_ = std::move(sink); }

  const QString& fileName() const { return fileName_; }
  // Where later lines go (the form's LogFileName may be changed).
  void setFileName(const QString& fileName) { fileName_ = fileName; }

  // Deletes an existing file (read-only too) and writes the header.
  void startFresh();
  // Appends one line ended by CR LF; with the time stamp and a blank first.
  // Always true, as callers expect; a failed write only loses the line.
  bool LogWriteLine(const QString& text, bool withTimestamp);
  static QStringList headerLines(const QString& timestamp);

 private:
  // "dd.MM.yyyy hh.mm.ss" of the clock's local time.
  QString LogTimestamp() const;

  QString fileName_;
  std::function<QDateTime()> clock_;
  MessageSink messages_;
  bool refusalSaid_ = false;  // a planted FIFO, device or link is named once
};
