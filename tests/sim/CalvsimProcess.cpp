#include "CalvsimProcess.h"

#include <QDeadlineTimer>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <numeric>

CalvsimProcess::CalvsimProcess(const QStringList& options) : process_(std::make_unique<QProcess>()) {
  process_->setProcessChannelMode(QProcess::SeparateChannels);
  process_->setReadChannel(QProcess::StandardOutput);
  process_->start(program(), options);
  if (!process_->waitForStarted(5000)) return;
  QDeadlineTimer deadline(5000);
  while (!process_->canReadLine() && !deadline.hasExpired())
    if (!process_->waitForReadyRead(int(deadline.remainingTime()))) break;
  if (process_->canReadLine()) slavePath_ = QString::fromLocal8Bit(process_->readLine()).trimmed();
}

CalvsimProcess::~CalvsimProcess() {
  if (process_->state() != QProcess::NotRunning) stop();
}

QString CalvsimProcess::program() { return QStringLiteral(CALVSIM_PATH); }

QString CalvsimProcess::stop() {
  if (process_->state() != QProcess::NotRunning) {
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
      process_->kill();
      process_->waitForFinished(2000);
    }
  }
  return QString::fromLocal8Bit(process_->readAllStandardOutput().trimmed().split('\n').last()).trimmed();
}

RawLine::RawLine(const QString& path) : fd_(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}

RawLine::~RawLine() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawLine::write(const QByteArray& bytes) {
  return ::write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray RawLine::read(std::chrono::milliseconds timeout, bool oneReply) {
  QByteArray got;
  QDeadlineTimer deadline(timeout);
  while (!deadline.hasExpired() && !(oneReply && !got.isEmpty() && got.size() >= std::uint8_t(got.at(0)))) {
    pollfd p{fd_, POLLIN, 0};
    char buf[512];
    if (::poll(&p, 1, int(std::max<qint64>(1, deadline.remainingTime()))) <= 0) continue;
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) got.append(buf, n);
  }
  return got;
}

static char checkByte(const QByteArray& bytes) {
  return char(std::accumulate(bytes.begin(), bytes.end(), 0U, [](unsigned s, char c) { return s + std::uint8_t(c); }));
}

QByteArray calvFrame(std::uint8_t command, const QByteArray& parameters, std::uint16_t address) {
  QByteArray f;
  f += char(parameters.size() + 5);
  f += char(address & 0xFF);
  f += char(address >> 8);
  f += char(command);
  f += parameters;
  f += checkByte(f);
  return f;
}

QByteArray calvSfoFrame(std::uint8_t code, const QByteArray& parameters, std::uint16_t address) {
  QByteArray sfo;
  sfo += char(parameters.size() + 4);
  sfo += char(0x23);
  sfo += char(code);
  sfo += parameters;
  sfo += checkByte(sfo);
  return calvFrame(0xF8, sfo, address);
}
