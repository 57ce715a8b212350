#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

// A broken expectation is a finding: say which, and stop as a crash would.
inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// The fuzz input as a file of the given name in a folder of the run's own.
inline QString inputFile(const char* name, const std::uint8_t* data, std::size_t size) {
  static QTemporaryDir folder;
  const QString path = folder.filePath(QString::fromLatin1(name));
  QFile f(path);
  check(f.open(QIODevice::WriteOnly) && f.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size),
        "input file not written");
  return path;
}

// A hex digit's value in either case; anything else counts as 0, as the programs' conversions count it.
inline int hexDigit(char16_t c) {
  static const QByteArray digits = "0123456789abcdef0123456789ABCDEF";
  return c < 128 ? std::max(0, int(digits.indexOf(char(c)) % 16)) : 0;
}
