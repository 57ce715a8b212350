#include "SequentialLineInput.h"

namespace {
constexpr qint64 kChunk = 64 * 1024;
constexpr char kCR = '\r';
constexpr char kLF = '\n';
}  // namespace

bool SequentialLineInput::open(const QString& path) {
  close();
  file_.setFileName(path);
  // Unbuffered: this class keeps its own buffer and sees read errors itself.
  return file_.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void SequentialLineInput::close() {
  if (file_.isOpen()) file_.close();
  buffer_.clear();
  pos_ = 0;
  failed_ = false;
}

bool SequentialLineInput::fill() {
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

int SequentialLineInput::peekByte() {
  if (pos_ >= buffer_.size() && !fill()) return -1;
  return static_cast<unsigned char>(buffer_[pos_]);
}

bool SequentialLineInput::atEnd() { return peekByte() < 0; }

std::optional<QByteArray> SequentialLineInput::readLine() {
  if (atEnd()) return std::nullopt;
  QByteArray line;
  for (;;) {
    const qsizetype cr = buffer_.indexOf(kCR, pos_);
    if (cr < 0) {
      line.append(buffer_.constData() + pos_, buffer_.size() - pos_);
      pos_ = buffer_.size();
      if (!fill()) return line;  // last line without a line end
      continue;
    }
    line.append(buffer_.constData() + pos_, cr - pos_);
    pos_ = cr + 1;
    if (peekByte() == kLF) ++pos_;
    return line;
  }
}
