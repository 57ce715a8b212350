#include "FakeAdapters.h"

#include <QtGlobal>

#include <utility>

#include "PtyBench.h"

FakeAdapters::FakeAdapters(const CliFolder& folder)
    : sys_(folder.path(QStringLiteral("sys")).toStdString()), dev_(folder.path(QStringLiteral("dev")).toStdString()) {
  std::filesystem::create_directories(sys_ / "class/tty");
  std::filesystem::create_directories(dev_);
  qputenv("KESTRUNE_SYSFS_ROOT", sys_.c_str());
  qputenv("KESTRUNE_DEV_ROOT", dev_.c_str());
}

FakeAdapters::~FakeAdapters() {
  qunsetenv("KESTRUNE_SYSFS_ROOT");
  qunsetenv("KESTRUNE_DEV_ROOT");
}

QString FakeAdapters::add(int i, const QString& pty, const char* serial) {
  namespace fs = std::filesystem;
  const std::string name = "ttyUSB" + std::to_string(i);
  const fs::path usb = sys_ / "devices/usb1" / ("1-" + std::to_string(i));
  const fs::path port = usb / ("1-" + std::to_string(i) + ":1.0") / name;
  fs::create_directories(port / "tty" / name);
  fs::create_directory_symlink(port, port / "tty" / name / "device");
  fs::create_directory_symlink(port / "tty" / name, sys_ / "class/tty" / name);
  fs::create_directories(sys_ / "bus/usb-serial/drivers/ftdi_sio");
  fs::create_directory_symlink(sys_ / "bus/usb-serial/drivers/ftdi_sio", port / "driver");
  for (const auto& [file, text] : {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", serial}})
    writeFile(QString::fromStdString((usb / file).string()), text);
  fs::create_symlink(pty.toStdString(), dev_ / name);
  return QString::fromStdString((dev_ / name).string());
}
