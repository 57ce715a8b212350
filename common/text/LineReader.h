#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

// Which byte sequences end a line. Stored firmware files rely on each rule
// exactly as it has always been read.
enum class LineEnd {
  // A line ends at LF; a CR right before that LF is dropped; a lone CR is
  // ordinary text (the .ldr files).
  Lf,
  // A line ends at CR or at CR LF; a lone LF is ordinary text (the S-record
  // files).
  CrOrCrLf,
};

// Reads a file line by line under one LineEnd rule. The line end is not part
// of the line; a last line without a line end is still returned; an empty
// file has no lines. Lines are bytes, unchanged.
class LineReader {
 public:
  explicit LineReader(LineEnd rule) : rule_(rule) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

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

  LineEnd rule_;
  QFile file_;
  QByteArray buffer_;
  qsizetype pos_ = 0;
  bool failed_ = false;
};
