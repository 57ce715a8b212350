#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

// Reads a text file line by line the way S-record files are read: a line
// ends at CR or at CR LF and the line end is not part of the line; a lone LF
// is no line end and stays in the line. A last line without a line end is
// still returned; an empty file has no lines. Lines are bytes, unchanged.
class SequentialLineInput {
 public:
  SequentialLineInput() = default;
  SequentialLineInput(const SequentialLineInput&) = delete;
  SequentialLineInput& operator=(const SequentialLineInput&) = delete;

  // False when the file cannot be opened for reading (missing, a folder,
  // no permission).
  bool open(const QString& path);
  bool isOpen() const { return file_.isOpen(); }
  void close();

  // True when no line is left (also after a read error): tested before
  // each read.
  bool atEnd();
  // The next line without its line end, or nothing when no line is left.
  std::optional<QByteArray> readLine();
  // A read error ended the file early.
  bool failed() const { return failed_; }

 private:
  bool fill();
  int peekByte();

  QFile file_;
  QByteArray buffer_;
  qsizetype pos_ = 0;
  bool failed_ = false;
};
