#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds .ldr test files: Intel HEX records with their checksums.
namespace LdrText {

inline QByteArray record(int type, int address, const QByteArray& data) {
  const QByteArray head = QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type);
  int sum = 0;
  for (char c : head + data) sum += static_cast<unsigned char>(c);
  return ":" + (head + data + char(-sum)).toHex().toUpper();
}

inline QByteArray block(int n) { return record(4, 0, QByteArray(1, '\0') + char(n)); }
inline QByteArray eof() { return record(1, 0, {}); }

// n bytes counting up from first.
inline QByteArray bytes(int n, int first = 0) {
  QByteArray out;
  for (int i = 0; i < n; ++i) out += char(first + i);
  return out;
}

// Records joined with CR LF, the last one ended too.
inline QByteArray lines(const QList<QByteArray>& records) { return records.join("\r\n") + "\r\n"; }

}  // namespace LdrText
