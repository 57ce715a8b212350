#pragma once

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include <serial/ComForm.h>
#include <serial/HexText.h>
#include <tests/support/PtyBench.h>

using namespace std::chrono_literals;

inline QString rx(const QByteArray& bytes) { return QStringLiteral("RX: ") + HexText::HexStringToReadable(bytes); }

// A program folder whose setup.ini maps COM3 to a pseudo-terminal, and a
// serial window on it. Port-failure messages are collected, not shown.
class SerialFormTest : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kPort = 3;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid() && pty.isOpen());
    writePortsIni(dir.path(), kPort, pty.slavePath());
  }

  ComForm& makeForm(ComForm::Host host, const Timing& timing = {}) {
    form = std::make_unique<ComForm>(host, dir.path(), nullptr, timing);
    form->setPortMessage([this](const QString& text) { messages << text; });
    QObject::connect(&form->MSComm1(), &SerialPortControl::commEvent, [this](int) { ++receiveEvents; });
    return *form;
  }

  ComForm& openForm(ComForm::Host host, std::uint8_t speed = 0) {
    makeForm(host);
    EXPECT_TRUE(form->SetupMScomm(kPort, speed));
    return *form;
  }

  // Sends bytes from the far end and serves events until the form handled them.
  bool deliver(const QByteArray& bytes) {
    const int before = receiveEvents;
    return pty.write(bytes) &&
           waitUntil([&] { return receiveEvents > before && form->MSComm1().inBufferCount() == 0; }, 2s);
  }

  QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }

  QTemporaryDir dir;
  PseudoTerminal pty;
  std::unique_ptr<ComForm> form;
  QStringList messages;
  int receiveEvents = 0;
};
