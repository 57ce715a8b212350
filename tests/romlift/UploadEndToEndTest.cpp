// Uploads through the real window over a pseudo-terminal to bootsim, the
// simulated boot loader.
#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <HexText.h>
#include <IniFileHandler.h>
#include <LoaderForm.h>
#include <SRecord.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <BootSimProcess.h>
#include <PtyBench.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kLineDelay = 150;  // ms, the smallest pace
const QString kReady = QStringLiteral("Amplifier and CD Boot Loader\r\nWaiting for firmware upload...");
const QString kUpdating = QStringLiteral("\r\nupdating...\r\n");
const QString kPortClosed = QStringLiteral("\r\nPort closed");

QString marks(qsizetype n) { return QStringLiteral(" .").repeated(n); }

// A DV-9 file: header, data records, an empty line among them, end record.
std::vector<QByteArray> dvNineLines(int dataRecords, bool withEmptyLine = false, int dataBytes = 6) {
  std::vector<QByteArray> lines{"S008000044562D3900F7"};
  for (int r = 0; r < dataRecords; ++r) {
    if (withEmptyLine && r == dataRecords / 2) lines.emplace_back();
    std::vector<std::uint8_t> data(std::size_t(dataBytes), 0x5A);
    data.front() = std::uint8_t(r);
    lines.push_back(QByteArray::fromStdString(SRecord::make('1', 0x2000 + r * dataBytes, data)));
  }
  lines.push_back(QByteArray::fromStdString(SRecord::make('9', 0x2000, {})));
  return lines;
}

QByteArray onTheWire(const std::vector<QByteArray>& lines) {
  QByteArray out;
  for (const QByteArray& l : lines) out += l + "\r\n";
  return out;
}

class UploadEndToEnd : public ::testing::Test {
 protected:
  QString iniPath() const { return dir->filePath(QStringLiteral("setup.ini")); }
  QString report(const char* key) const {
    return IniFileHandler::ReadIniValue(QStringLiteral("Romlifter"), QString::fromLatin1(key), QString(), iniPath());
  }

  // A fresh folder, bootsim on its own terminal (announcing every 50 ms
  // unless told otherwise), and the window with COM1 leading there.
  void start(QStringList simArgs = {}) {
    form.reset();
    sim = std::make_unique<BootSimProcess>();
    dir = std::make_unique<QTemporaryDir>();
    if (!simArgs.contains(QStringLiteral("--no-announce")) && !simArgs.contains(QStringLiteral("--announce-delay")))
      simArgs << QStringLiteral("--announce-repeat") << QStringLiteral("50");
    ASSERT_TRUE(sim->start(simArgs << QStringLiteral("--lines-out") << dir->filePath(QStringLiteral("taken"))));
    IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM1"), sim->slavePath(), iniPath());
    IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QStringLiteral("Delay"),
                                  QString::number(kLineDelay), iniPath());
    form = std::make_unique<LoaderForm>(dir->path());
    form->comForm().setPortMessage([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
    form->uploadDialogue().setReportClock([] { return QDateTime(QDate(2026, 3, 1), QTime(7, 5, 42)); });
    form->Form_Load();
  }

  QString load(const std::vector<QByteArray>& lines) {
    const QString path = dir->filePath(QStringLiteral("fw.s19"));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(onTheWire(lines));
    f.close();
    form->setFileChooser([path] { return path; });
    form->Load_Click();
    EXPECT_TRUE(form->fileCheck().FileValid);
    return path;
  }

  void openAndAwaitBootLoader() {
    form->Commport->click();
    ASSERT_TRUE(form->uploadDialogue().BootReady);
    ASSERT_EQ(form->serinputText(), kReady);
    ASSERT_EQ(form->Commport->text(), QStringLiteral("Close Comm Port"));
  }

  // Ends bootsim and returns the bytes it took as lines.
  QByteArray linesTaken() {
    simReport = sim->finish();
    QFile f(dir->filePath(QStringLiteral("taken")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<no file>");
  }

  void expectClosedAndIdle() {
    EXPECT_FALSE(form->comForm().CheckMScomm());
    EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
    EXPECT_TRUE(form->BtnUpload->isEnabled());
    EXPECT_FALSE(form->uploadDialogue().isUploading());
  }

  std::unique_ptr<QTemporaryDir> dir;
  std::unique_ptr<BootSimProcess> sim;
  std::unique_ptr<LoaderForm> form;
  QString simReport;
};

// The silence after each line is measured on the far end's wire clock at
// each speed: it must never be shorter than the line delay, whatever the
// line's own transmit time (32-byte records take 79 ms at 9600 baud).
TEST_F(UploadEndToEnd, SendsEveryLineWithItsSilenceOnTheWireAndReportsSuccess) {
  const struct {
    const char* baud;
    QAction* LoaderForm::*speed;
  } speeds[] = {{"9600", &LoaderForm::Speed_9600}, {"57600", &LoaderForm::Speed_57600},
                {"115200", &LoaderForm::Speed_115000}};
  // The pseudo-terminal hands a line to bootsim a little late now and then
  // (p99 about 1 ms under load), which shortens the gap after it on bootsim's
  // clock. So a short gap earns one more upload at that speed; a pause that
  // is really short fails both.
  for (const auto& c : speeds) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
      SCOPED_TRACE(c.baud);
      start({QStringLiteral("--baud"), QString::fromLatin1(c.baud)});
      (form.get()->*c.speed)->trigger();
      const auto lines = dvNineLines(4, true, 32);
      const QString path = load(lines);
      openAndAwaitBootLoader();
      QStringList shown;
      QObject::connect(form->comForm().Text1, &QLineEdit::textChanged, [&](const QString& text) { shown << text; });

      form->BtnUpload->click();
      EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(qsizetype(lines.size())) +
                                          QStringLiteral("\r\nUpdated with success") + kPortClosed);
      expectClosedAndIdle();
      EXPECT_FALSE(form->uploadDialogue().BootReady);
      EXPECT_FALSE(form->uploadDialogue().StopRequest);
      EXPECT_EQ(report("Product"), QStringLiteral("DV-9"));
      EXPECT_EQ(report("File name"), path);
      EXPECT_EQ(report("Upload time"), QStringLiteral("01/03/2026 07:05"));
      EXPECT_EQ(report("Status"), QStringLiteral("Succes"));

      // Line, CR and LF go as separate sends.
      QStringList expected;
      for (const QByteArray& l : lines)
        expected << QStringLiteral("TX: ") + HexText::HexStringToReadable(l) << QStringLiteral("TX: 0D ")
                 << QStringLiteral("TX: 0A ");
      EXPECT_EQ(shown, expected);

      // On the far end: in file order, each with CR LF, the empty line as a
      // bare CR LF, and never less silence than the line delay.
      EXPECT_EQ(linesTaken(), onTheWire(lines));
      EXPECT_EQ(BootSimProcess::verdict(simReport), QStringLiteral("accepted (OK sent)"));
      const auto gaps = BootSimProcess::gaps(simReport);
      ASSERT_TRUE(gaps.has_value()) << simReport.toStdString();
      EXPECT_EQ(gaps->count, int(lines.size()) - 1);
      if (gaps->min < kLineDelay && attempt == 1) {
        std::printf("%s baud: a gap of %.2f ms on the far end's clock; measuring again\n", c.baud, gaps->min);
        continue;
      }
      EXPECT_GE(gaps->min, kLineDelay) << simReport.toStdString();
      EXPECT_NEAR(gaps->median, kLineDelay, 3) << simReport.toStdString();
      break;
    }
  }
}

TEST_F(UploadEndToEnd, RefusalAfterTheFirstLineEndsWrongFileAndKeepsTheReport) {
  start({QStringLiteral("--refuse-line"), QStringLiteral("1")});
  const char* keys[] = {"Product", "File name", "Upload time", "Status"};
  for (const char* key : keys)
    IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QString::fromLatin1(key),
                                  QStringLiteral("earlier %1").arg(key), iniPath());
  const auto lines = dvNineLines(6);
  load(lines);
  openAndAwaitBootLoader();

  form->BtnUpload->click();
  // Seen only after the second line and its pause.
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(2) + QStringLiteral("\r\nWrong File") + kPortClosed);
  expectClosedAndIdle();
  // The port is closed now: a further Upload must not run on it.
  form->BtnUpload->click();
  EXPECT_TRUE(form->serinputText().endsWith(kPortClosed + kUpdating + QStringLiteral("\r\nNot ready for boot")));
  EXPECT_TRUE(form->BtnUpload->isEnabled());
  for (const char* key : keys) EXPECT_EQ(report(key), QStringLiteral("earlier %1").arg(key)) << key;
  EXPECT_EQ(linesTaken(), onTheWire({lines[0], lines[1]}));
}

TEST_F(UploadEndToEnd, FinalWaitDecidesAndASecondUploadDuringItIsIgnored) {
  struct Case {
    const char* name;
    QStringList simArgs;
    std::chrono::milliseconds finalWait;
    QString ending;
  };
  const Case cases[] = {
      // "OK" comes, but only after the wait has given up.
      {"Failed", {QStringLiteral("--ok-delay"), QStringLiteral("900")}, 300ms,
       QStringLiteral("\r\nUpdate Failed") + kPortClosed},
      {"Succes", {QStringLiteral("--ok-delay"), QStringLiteral("300")}, 600ms,
       QStringLiteral("\r\nUpdated with success") + kPortClosed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.simArgs);
    form->uploadDialogue().setFinalWait(c.finalWait);
    const auto lines = dvNineLines(2);
    load(lines);
    openAndAwaitBootLoader();

    // Once every line is out, "Cancel Upload" enables the button and a
    // second "Upload" is pressed while the first still waits for "OK".
    bool pressed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, form.get(), [&] {
      if (pressed || form->serinputText().count(QStringLiteral(" .")) < qsizetype(lines.size())) return;
      pressed = true;
      form->Serial_cancel->click();
      EXPECT_TRUE(form->BtnUpload->isEnabled());
      form->BtnUpload->click();
    });
    poll.start(20);
    const auto began = Clock::now();
    form->BtnUpload->click();
    const auto took = Clock::now() - began;

    ASSERT_TRUE(pressed);
    EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(qsizetype(lines.size())) + c.ending);
    EXPECT_EQ(report("Status"), QString::fromLatin1(c.name));
    expectClosedAndIdle();
    EXPECT_TRUE(form->uploadDialogue().StopRequest);  // the final wait does not serve it
    EXPECT_EQ(linesTaken(), onTheWire(lines));
    const auto sending = lines.size() * std::chrono::milliseconds(kLineDelay);
    EXPECT_LT(took, sending + c.finalWait + 1500ms);
    if (c.ending.contains(QStringLiteral("Failed"))) {
      EXPECT_GE(took, sending + c.finalWait);
    }
  }
}

TEST_F(UploadEndToEnd, CancelOrPortButtonMidwayEndsCancelled) {
  for (const bool byPortButton : {false, true}) {
    SCOPED_TRACE(byPortButton ? "port button" : "Cancel Upload");
    start();
    const auto lines = dvNineLines(20);
    load(lines);
    openAndAwaitBootLoader();

    QTimer::singleShot(500, form.get(), [&] { (byPortButton ? form->Commport : form->Serial_cancel)->click(); });
    form->BtnUpload->click();
    EXPECT_TRUE(form->serinputText().endsWith(QStringLiteral("\r\nUpdate cancelled") + kPortClosed))
        << form->serinputText().toStdString();
    EXPECT_EQ(report("Status"), QStringLiteral("Cancelled"));
    EXPECT_EQ(report("Product"), QStringLiteral("DV-9"));
    expectClosedAndIdle();
    EXPECT_FALSE(form->uploadDialogue().StopRequest);

    const auto sent = form->serinputText().count(QStringLiteral(" ."));
    EXPECT_GE(sent, 2);
    EXPECT_LT(sent, qsizetype(lines.size()));
    EXPECT_EQ(linesTaken(), onTheWire({lines.begin(), lines.begin() + sent}));
  }
}

TEST_F(UploadEndToEnd, PortButtonWhileWaitingForTheAnnouncementClosesThePort) {
  start({QStringLiteral("--no-announce")});
  load(dvNineLines(2));
  // "Upload" in the waiting state leaves the wait running.
  QTimer::singleShot(100, form.get(), [&] { form->BtnUpload->click(); });
  QTimer::singleShot(300, form.get(), [&] { form->Commport->click(); });
  form->Commport->click();
  EXPECT_EQ(form->serinputText(), QStringLiteral("Waiting for response...\r\n") + kUpdating +
                                      QStringLiteral("\r\nNot ready for boot") + kPortClosed);
  expectClosedAndIdle();
  EXPECT_FALSE(form->uploadDialogue().BootReady);
  EXPECT_FALSE(form->uploadDialogue().StopRequest);
  EXPECT_EQ(report("Status"), QString());
  EXPECT_EQ(linesTaken(), QByteArray());
}

TEST_F(UploadEndToEnd, WithoutAUsableFileNothingIsSentAndThePortButtonClosesTheIdlePort) {
  start();
  openAndAwaitBootLoader();
  const QString notReady = kUpdating + QStringLiteral("\r\nFile not ready or wrong type");
  form->BtnUpload->click();  // nothing loaded yet
  ASSERT_TRUE(QFile::remove(load(dvNineLines(2))));  // moved away after the check
  form->BtnUpload->click();
  EXPECT_EQ(form->serinputText(), kReady + notReady + notReady);
  EXPECT_TRUE(form->BtnUpload->isEnabled());
  EXPECT_TRUE(form->uploadDialogue().BootReady);  // the boot loader still waits

  // Open, announced and idle: a click closes at once, and it opens again.
  form->Commport->click();
  EXPECT_EQ(form->serinputText(), kReady + notReady + notReady + kPortClosed);
  expectClosedAndIdle();
  EXPECT_FALSE(form->uploadDialogue().BootReady);
  EXPECT_FALSE(form->uploadDialogue().StopRequest);
  openAndAwaitBootLoader();
  EXPECT_EQ(report("Status"), QString());
  EXPECT_EQ(linesTaken(), QByteArray());
}

// The adapter is pulled out and plugged in again under the same name (a
// link that bootsim removes when its line closes): the wait or the upload
// ends as the operator would end it, without burning the processor, and the
// next "Open Comm Port" works without restarting the program.
TEST_F(UploadEndToEnd, VanishingDeviceEndsTheWaitOrTheUploadAndComesBackUnderItsName) {
  start({QStringLiteral("--no-announce")});
  const QString link = dir->filePath(QStringLiteral("ttyUSB0"));
  IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM1"), link, iniPath());
  auto plugIn = [&](QStringList simArgs) {
    sim = std::make_unique<BootSimProcess>();
    return sim->start(simArgs << QStringLiteral("--link") << link);
  };

  // Gone while waiting for "...": an operator would give up after 3 s.
  ASSERT_TRUE(plugIn({"--no-announce", "--vanish-after", "0", "--vanish-delay", "300"}));
  QTimer::singleShot(3000, form.get(), [&] {
    if (form->uploadDialogue().isWaitingForBootLoader()) form->Commport->click();
  });
  const double cpuBefore = ownCpuSeconds();
  const auto began = Clock::now();
  form->Commport->click();
  EXPECT_LT(Clock::now() - began, 1500ms);
  const double simCpuBefore = cpuSecondsOf(sim->processId());
  idleFor(2000ms);
  const double wall = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_LT((ownCpuSeconds() - cpuBefore) / wall, 0.05) << "share of a core while the port was lost";
  EXPECT_LT(cpuSecondsOf(sim->processId()) - simCpuBefore, 0.1) << "bootsim after its line closed";
  EXPECT_EQ(form->serinputText(), QStringLiteral("Waiting for response...\r\n") + kPortClosed);
  expectClosedAndIdle();
  EXPECT_TRUE(form->comForm().Text2->text().contains(QStringLiteral("lost"))) << form->comForm().Text2->text().toStdString();

  // Back, and gone again after the third of eight lines.
  ASSERT_TRUE(plugIn({"--announce-repeat", "50", "--vanish-after", "3"}));
  load(dvNineLines(6));
  openAndAwaitBootLoader();
  form->BtnUpload->click();
  // The loss shows at the first send after it, whenever bootsim got round to closing.
  const QString text = form->serinputText();
  EXPECT_TRUE(text.startsWith(kReady + kUpdating + marks(4)) &&
              text.endsWith(QStringLiteral(" .\r\nUpdate Failed") + kPortClosed) && text.count(QStringLiteral(" .")) < 8)
      << text.toStdString();
  EXPECT_EQ(report("Status"), QStringLiteral("Failed"));
  expectClosedAndIdle();

  // Back, and gone while the upload waits for "OK": failed at once, not after 5 s.
  ASSERT_TRUE(plugIn({"--announce-repeat", "50", "--no-ok", "--vanish-after", "4", "--vanish-delay", "200"}));
  IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QStringLiteral("Status"), QString(), iniPath());
  const auto lines = dvNineLines(2);
  load(lines);
  openAndAwaitBootLoader();
  const auto uploadBegan = Clock::now();
  form->BtnUpload->click();
  EXPECT_LT(Clock::now() - uploadBegan, 2500ms);
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(qsizetype(lines.size())) +
                                      QStringLiteral("\r\nUpdate Failed") + kPortClosed);
  EXPECT_EQ(report("Status"), QStringLiteral("Failed"));
  expectClosedAndIdle();
}

// Stray chunks ("13", "10", CR, LF, random characters) around every text the
// boot loader sends: the announcement, a refusal and "OK" are still recognised.
TEST_F(UploadEndToEnd, StrayBytesAroundTheBootLoaderTextsChangeNothing) {
  const struct {
    QStringList simArgs;
    qsizetype marks;
    QString ending, status;
  } cases[] = {
      {{"--noise"}, 5, QStringLiteral("\r\nUpdated with success") + kPortClosed, QStringLiteral("Succes")},
      {{"--noise", "--refuse-line", "1"}, 2, QStringLiteral("\r\nWrong File") + kPortClosed, QString()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status.toStdString());
    start(c.simArgs);
    load(dvNineLines(3));
    openAndAwaitBootLoader();
    form->BtnUpload->click();
    EXPECT_EQ(form->serinputText().toStdString(), (kReady + kUpdating + marks(c.marks) + c.ending).toStdString());
    EXPECT_EQ(report("Status").toStdString(), c.status.toStdString());
  }
}

}  // namespace
