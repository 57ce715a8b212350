#include "RunEvents.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMutexLocker>

#include <serial/AdapterIdentity.h>

#include <cstdio>

namespace cli {

QCommandLineOption RunEvents::option() {
  return {QStringLiteral("json"), QStringLiteral("Print the run's events as JSON, one object per line, on standard "
                                                 "output instead of its progress, status and table lines.")};
}

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

void RunEvents::progress(const Slot& slot, qint64 done, qint64 total, Unit unit) {
  const bool lines = unit == Unit::Lines;
  write(slot, QStringLiteral("progress"),
        {{lines ? QStringLiteral("lines") : QStringLiteral("bytes"), double(done)},
         {lines ? QStringLiteral("total_lines") : QStringLiteral("total"), double(total)}});
}

void RunEvents::end(const Slot& slot, const QString& outcome, int exitStatus, std::optional<std::uint32_t> serial,
                    double seconds) {
  write(slot, QStringLiteral("end"),
       {{QStringLiteral("outcome"), outcome},
        {QStringLiteral("exit_status"), exitStatus},
        {QStringLiteral("serial_number"), serial ? QJsonValue(double(*serial)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("seconds"), seconds}});
}

}  // namespace cli
