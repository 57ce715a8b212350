#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

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
