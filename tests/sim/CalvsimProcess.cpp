#include "CalvsimProcess.h"

#include <QDeadlineTimer>



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
