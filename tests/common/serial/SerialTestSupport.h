#pragma once

#include <QByteArray>
#include <QCheckBox>
#include <QLineEdit>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "ComForm.h"
#include "PtyBench.h"

using namespace std::chrono_literals;

inline QByteArray fileBytes(const QString& fileName) {
  QFile f(fileName);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A program folder with setup.ini mapping COM3 to a pseudo-terminal, and a
// serial window on it. Port-failure messages are collected, not shown.
class SerialFormTest : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kPort = 3;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(pty.isOpen());
    writePortsIni(dir.path(), kPort, pty.slavePath());
  }

  ComForm& makeForm(ComForm::Host host) {
    form = std::make_unique<ComForm>(host, dir.path());
    form->setPortMessage([this](const QString& text) { messages << text; });
    QObject::connect(&form->MSComm1(), &SerialPortControl::commEvent, [this](int) { ++receiveEvents; });
    return *form;
  }

  // Sends bytes from the far end and serves events until the form handled them.
  bool deliver(const QByteArray& bytes) {
    const int before = receiveEvents;
    if (!pty.write(bytes)) return false;
    return waitUntil([&] { return receiveEvents > before && form->MSComm1().inBufferCount() == 0; }, 2s);
  }

  // Waits without serving events until the driver holds count bytes.
  bool waitForWaitingBytes(int count) {
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (form->GetMScommInBufferCount() < count) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
    return form->GetMScommInBufferCount() == count;
  }

  QString path(const QString& name) const { return dir.filePath(name); }

  QTemporaryDir dir;
  PseudoTerminal pty;
  std::unique_ptr<ComForm> form;
  QStringList messages;
  int receiveEvents = 0;
};
