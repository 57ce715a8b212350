#include "RunEvents.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMutexLocker>

#include <serial/AdapterIdentity.h>

#include <cstdio>

void RunEvents::write(const Slot& slot, const QString& event, QJsonObject fields) {
  fields.insert(QStringLiteral("event"), event);
  fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
  fields.insert(QStringLiteral("port"),
                slot.comPort ? QJsonValue(QStringLiteral("COM%1").arg(*slot.comPort)) : QJsonValue(QJsonValue::Null));
  fields.insert(QStringLiteral("device"), slot.device);
  fields.insert(QStringLiteral("adapter_serial"),
                slot.adapterSerial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(slot.adapterSerial));
  const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact);
  if (sink_) return sink_(line);
  QMutexLocker lock(&mutex_);
  std::fprintf(stdout, "%s\n", line.constData());
  std::fflush(stdout);
}

RunEvents::Slot RunEvents::slotFor(std::optional<int> comPort, const QString& device) {
  Slot slot;
  slot.comPort = comPort;
  slot.device = device;
  slot.adapterSerial = AdapterIdentity::of(AdapterIdentity::ttyName(device)).serial;
  return slot;
}

void RunEvents::start(const Slot& slot, const QString& file) {
  write(slot, QStringLiteral("start"), {{QStringLiteral("file"), file}});
}

void RunEvents::phase(const Slot& slot, const QString& text) {
  write(slot, QStringLiteral("phase"), {{QStringLiteral("phase"), text}});
}

void RunEvents::block(const Slot& slot, int block, int moduleCrc, int pcCrc) {
  write(slot, QStringLiteral("block"),
       {{QStringLiteral("block"), block},
        {QStringLiteral("module_crc"), moduleCrc},
        {QStringLiteral("pc_crc"), pcCrc},
        {QStringLiteral("match"), moduleCrc == pcCrc}});
}

void RunEvents::progress(const Slot& slot, qint64 bytes, qint64 total) {
  write(slot, QStringLiteral("progress"),
       {{QStringLiteral("bytes"), double(bytes)}, {QStringLiteral("total"), double(total)}});
}

void RunEvents::end(const Slot& slot, const QString& outcome, int exitStatus, std::optional<std::uint32_t> serial,
                    double seconds) {
  write(slot, QStringLiteral("end"),
       {{QStringLiteral("outcome"), outcome},
        {QStringLiteral("exit_status"), exitStatus},
        {QStringLiteral("serial_number"), serial ? QJsonValue(double(*serial)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("seconds"), seconds}});
}

void RunEventView::setStatusText(const QString& text) {
  if (text.isEmpty() || text == lastPhase_) return;
  lastPhase_ = text;
  events_.phase(slot_, text);
}

void RunEventView::bytesSent(qint64 done, qint64 total) {
  using namespace std::chrono_literals;
  const auto now = std::chrono::steady_clock::now();
  if (done != 0 && done != total && lastProgress_ && now - *lastProgress_ < 250ms) return;
  lastProgress_ = now;
  events_.progress(slot_, done, total);
}
