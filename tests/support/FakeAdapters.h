#pragma once

#include <QString>

#include <filesystem>

#include "CliFolder.h"

// A fake /sys and /dev in a folder, handed to the program through the
// environment while this lives: each pseudo-terminal added becomes the FTDI
// adapter ttyUSB<i> with a USB serial number, its node in the fake /dev a
// link to the pseudo-terminal.
class FakeAdapters {
 public:
  explicit FakeAdapters(const CliFolder& folder);
  ~FakeAdapters();
  FakeAdapters(const FakeAdapters&) = delete;
  FakeAdapters& operator=(const FakeAdapters&) = delete;
  // The node in the fake /dev.
  QString add(int i, const QString& pty, const char* serial);

 private:
  std::filesystem::path sys_, dev_;
};

