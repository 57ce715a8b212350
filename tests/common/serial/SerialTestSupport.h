#pragma once

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <protocol/FrameRule.h>
#include <romlift/UploaderRule.h>
#include <serial/ComForm.h>
#include <serial/HexText.h>
#include <tests/support/PtyBench.h>

using namespace std::chrono_literals;

inline QString rx(const QByteArray& bytes) { return QStringLiteral("RX: ") + HexText::HexStringToReadable(bytes); }

// Which program's receive rule a link takes.
enum class Rule { Frame, Uploader };

inline std::unique_ptr<ReceiveRule> ruleFor(Rule rule) {
  if (rule == Rule::Frame) return std::make_unique<FrameRule>();
  return std::make_unique<UploaderRule>();
}

// A program folder whose setup.ini maps COM3 to a pseudo-terminal, a link on
// it and the serial window showing that link. Port-failure messages are
// collected, not shown.
class SerialFormTest : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kPort = 3;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid() && pty.isOpen());
    writePortsIni(dir.path(), kPort, pty.slavePath());
  }

  SerialLink& makeLink(Rule rule, const Timing& timing = {}) {
    form.reset();
    link = std::make_unique<SerialLink>(ruleFor(rule), dir.path(), timing);
    form = std::make_unique<ComForm>(*link, QStringLiteral("ComForm"));
    link->setPortMessage([this](const QString& text) { messages << text; });
    // As the programs do: the link's lines for the operator on standard error.
    link->setMessageSink([this](const QString& line) {
      lines << line;
      std::fprintf(stderr, "%s\n", qPrintable(line));
    });
    QObject::connect(&link->MSComm1(), &SerialPortControl::commEvent, [this](int) { ++receiveEvents; });
    return *link;
  }

  SerialLink& openLink(Rule rule, std::uint8_t speed = 0) {
    makeLink(rule);
    EXPECT_TRUE(link->SetupMScomm(kPort, speed));
    return *link;
  }

  // Sends bytes from the far end and serves events until the form handled them.
  bool deliver(const QByteArray& bytes) {
    const int before = receiveEvents;
    return pty.write(bytes) &&
           waitUntil([&] { return receiveEvents > before && link->MSComm1().inBufferCount() == 0; }, 2s);
  }

  QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }

  QTemporaryDir dir;
  PseudoTerminal pty;
  std::unique_ptr<SerialLink> link;
  std::unique_ptr<ComForm> form;
  QStringList messages;
  QStringList lines;  // the link's lines for the operator
  int receiveEvents = 0;
};
