#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Builds .ldr test files: Intel HEX records with their checksums.
namespace LdrText {

inline QByteArray hexByte(int v) { return QByteArray::number(v & 0xFF, 16).toUpper().rightJustified(2, '0'); }

inline QByteArray record(int type, int address, const QByteArray& data) {
  QByteArray line = ":" + hexByte(int(data.size())) + hexByte(address >> 8) + hexByte(address) + hexByte(type);
  int sum = int(data.size()) + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
  for (char c : data) {
    line += hexByte(static_cast<unsigned char>(c));
    sum += static_cast<unsigned char>(c);
  }
  return line + hexByte((256 - sum % 256) % 256);
}

inline QByteArray block(int n) { return record(4, 0, QByteArray(1, '\0') + char(n)); }
inline QByteArray eof() { return record(1, 0, {}); }

// n bytes counting up from first.
inline QByteArray bytes(int n, int first = 0) {
  QByteArray out;
  for (int i = 0; i < n; ++i) out += char((first + i) & 0xFF);
  return out;
}

inline bool writeFile(const QString& path, const QByteArray& content) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// Lines joined with CR LF, the last one ended too.
inline QByteArray lines(const QList<QByteArray>& records) {
  QByteArray out;
  for (const QByteArray& r : records) out += r + "\r\n";
  return out;
}

}  // namespace LdrText
