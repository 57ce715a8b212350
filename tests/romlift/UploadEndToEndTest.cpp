// Uploads through the real window over a pseudo-terminal to bootsim, the
// simulated boot loader.
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
#include <memory>
#include <vector>

#include <BootSimProcess.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kLineDelay = 150;  // ms, the smallest pace
// bootsim can stamp a byte only when the pseudo-terminal hands it over, and
// the kernel does that from a worker thread of ordinary priority. With both
// cores busy single gaps came out up to 17.5 ms short (a late line feed, a
// prompt next line), and reading at real-time priority did not cure it. So
// the far end checks the pace with this allowance; the strict check is on
// the sends, stamped on the sending thread.
constexpr double kDeliveryJitter = 20;  // ms
const QString kReady = QStringLiteral("Amplifier and CD Boot Loader\r\nWaiting for firmware upload...");
const QString kUpdating = QStringLiteral("\r\nupdating...\r\n");
const QString kPortClosed = QStringLiteral("\r\nPort closed");

QString marks(qsizetype n) { return QStringLiteral(" .").repeated(n); }

// A DV-9 file: header, data records, an empty line among them, end record.
std::vector<QByteArray> dvNineLines(int dataRecords, bool withEmptyLine = false) {
  std::vector<QByteArray> lines{"S008000044562D3900F7"};
  for (int r = 0; r < dataRecords; ++r) {
    if (withEmptyLine && r == dataRecords / 2) lines.emplace_back();
    const std::vector<std::uint8_t> data{std::uint8_t(r), 0x5A, 0xA5, 0x00, 0xFF, std::uint8_t(r * 7)};
    lines.push_back(QByteArray::fromStdString(SRecord::make('1', 0x2000 + r * 6, data)));
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

TEST_F(UploadEndToEnd, SendsEveryLineAtPaceAndReportsSuccess) {
  start({QStringLiteral("--announce-delay"), QStringLiteral("400")});
  const auto lines = dvNineLines(8, true);
  const QString path = load(lines);
  openAndAwaitBootLoader();
  // Every send as the serial window shows it, stamped on the sending thread.
  std::vector<std::pair<Clock::time_point, QString>> sends;
  QObject::connect(form->comForm().Text1, &QLineEdit::textChanged,
                   [&](const QString& text) { sends.emplace_back(Clock::now(), text); });

  form->BtnUpload->click();
  EXPECT_EQ(form->serinputText(),
            kReady + kUpdating + marks(qsizetype(lines.size())) + QStringLiteral("\r\nUpdated with success") + kPortClosed);
  expectClosedAndIdle();
  EXPECT_FALSE(form->uploadDialogue().BootReady);
  EXPECT_FALSE(form->uploadDialogue().StopRequest);
  EXPECT_EQ(report("Product"), QStringLiteral("DV-9"));
  EXPECT_EQ(report("File name"), path);
  EXPECT_EQ(report("Upload time"), QStringLiteral("01/03/2026 07:05"));
  EXPECT_EQ(report("Status"), QStringLiteral("Succes"));

  // Line, CR and LF go as separate sends, and the pause runs from the LF to
  // the next line.
  QStringList expected, shown;
  for (const QByteArray& l : lines)
    expected << QStringLiteral("TX: ") + HexText::HexStringToReadable(l) << QStringLiteral("TX: 0D ")
             << QStringLiteral("TX: 0A ");
  for (std::size_t i = 0; i < sends.size(); ++i) {
    shown << sends[i].second;
    if (i > 0 && sends[i - 1].second == QStringLiteral("TX: 0A ")) {
      EXPECT_GE(sends[i].first - sends[i - 1].first, std::chrono::milliseconds(kLineDelay)) << "send " << i;
    }
  }
  EXPECT_EQ(shown, expected);

  // On the far end: in file order, each with CR LF, the empty line as a bare
  // CR LF, and the pace kept.
  EXPECT_EQ(linesTaken(), onTheWire(lines));
  EXPECT_EQ(BootSimProcess::verdict(simReport), QStringLiteral("accepted (OK sent)"));
  const auto gaps = BootSimProcess::gaps(simReport);
  ASSERT_TRUE(gaps.has_value()) << simReport.toStdString();
  EXPECT_EQ(gaps->count, int(lines.size()) - 1);
  EXPECT_GE(gaps->min, kLineDelay - kDeliveryJitter) << simReport.toStdString();
  EXPECT_LT(gaps->max, kLineDelay + 100) << simReport.toStdString();
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

}  // namespace
