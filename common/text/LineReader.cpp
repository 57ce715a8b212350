#include "LineReader.h"

namespace {
constexpr qint64 kChunk = 64 * 1024;
constexpr char kCR = '\r';
constexpr char kLF = '\n';
}  // namespace

bool LineReader::open(const QString& path) {
  close();
  file_.setFileName(path);
  // Unbuffered: this class keeps its own buffer and sees read errors itself;
  // the line rules are applied here, not by a text codec.
  return file_.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void LineReader::close() {
  if (file_.isOpen()) file_.close();
  buffer_.clear();
  pos_ = 0;
  failed_ = false;
}

bool LineReader::fill() {
  if (!file_.isOpen() || failed_) return false;
  buffer_.remove(0, pos_);
  pos_ = 0;
  const qsizetype had = buffer_.size();
  buffer_.resize(had + kChunk);
  const qint64 n = file_.read(buffer_.data() + had, kChunk);
  if (n < 0) {
    failed_ = true;
    buffer_.resize(had);
    return false;
  }
  buffer_.resize(had + n);
  return n > 0;
}

int LineReader::peekByte() {
  if (pos_ >= buffer_.size() && !fill()) return -1;
  return static_cast<unsigned char>(buffer_[pos_]);
}

bool LineReader::atEnd() { return peekByte() < 0; }

std::optional<QByteArray> LineReader::readLine() {
  if (atEnd()) return std::nullopt;
  const char end = rule_ == LineEnd::Lf ? kLF : kCR;
  QByteArray line;
  for (;;) {
    const qsizetype at = buffer_.indexOf(end, pos_);
    if (at < 0) {
      line.append(buffer_.constData() + pos_, buffer_.size() - pos_);
      pos_ = buffer_.size();
      if (!fill()) return line;  // last line without a line end
      continue;
    }
    line.append(buffer_.constData() + pos_, at - pos_);
    pos_ = at + 1;
    if (rule_ == LineEnd::Lf) {
      // The CR may have come with the chunk before the LF: it is in `line`.
      if (line.endsWith(kCR)) line.chop(1);
    } else if (peekByte() == kLF) {
      ++pos_;
    }
    return line;
  }
}
