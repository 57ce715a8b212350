// Uploads through the real window over a pseudo-terminal to bootsim, the
// simulated boot loader.
#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <ComForm.h>
#include <IniFileHandler.h>
#include <LoaderForm.h>
#include <SRecord.h>

#include <chrono>
#include <memory>
#include <vector>

#include <BootSimProcess.h>

namespace {

using namespace std::chrono_literals;

constexpr int kLineDelay = 150;  // ms, the smallest pace
// bootsim stamps a byte when it reads it; on a busy machine a read can come a
// few ms late, which moves a measured gap by as much either way.
constexpr double kReadJitter = 10;  // ms
const QString kReady = QStringLiteral("Amplifier and CD Boot Loader\r\nWaiting for firmware upload...");
const QString kUpdating = QStringLiteral("\r\nupdating...\r\n");

QString marks(int n) { return QStringLiteral(" .").repeated(n); }

// A DV-9 file: header, data records, an empty line among them, end record.
std::vector<QByteArray> dvNineLines(int dataRecords, bool withEmptyLine = true) {
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
  QString linesOut() const { return dir->filePath(QStringLiteral("lines-taken.bin")); }
  QString report(const char* key) const {
    return IniFileHandler::ReadIniValue(QStringLiteral("Romlifter"), QString::fromLatin1(key), QString(), iniPath());
  }

  // A fresh folder, bootsim on its own terminal, and the window with COM1
  // leading there.
  void start(QStringList simArgs) {
    form.reset();
    sim = std::make_unique<BootSimProcess>();
    dir = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(dir->isValid());
    simArgs << QStringLiteral("--lines-out") << linesOut();
    ASSERT_TRUE(sim->start(simArgs));
    IniFileHandler::WriteIniValue(QStringLiteral("Ports"), QStringLiteral("COM1"), sim->slavePath(), iniPath());
    IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QStringLiteral("Delay"),
                                  QString::number(kLineDelay), iniPath());
    form = std::make_unique<LoaderForm>(dir->path());
    form->comForm().setPortMessage([this](const QString& text) { messages << text; });
    form->uploadDialogue().setReportClock([] { return QDateTime(QDate(2026, 3, 1), QTime(7, 5, 42)); });
    form->Form_Load();
    ASSERT_EQ(form->uploadDialogue().LineDelay, kLineDelay);
  }

  QString load(const std::vector<QByteArray>& lines, const QString& name = QStringLiteral("fw.s19")) {
    const QString path = dir->filePath(name);
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

  // Ends bootsim and returns what it took.
  QByteArray linesTaken() {
    report_ = sim->finish();
    QFile f(linesOut());
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
  QStringList messages;
  QString report_;
};

TEST_F(UploadEndToEnd, SendsEveryLineAtPaceAndReportsSuccess) {
  start({QStringLiteral("--announce-delay"), QStringLiteral("400")});
  const auto lines = dvNineLines(8);
  const QString path = load(lines);
  openAndAwaitBootLoader();

  form->BtnUpload->click();
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(int(lines.size())) +
                                      QStringLiteral("\r\nUpdated with success\r\nPort closed"));
  expectClosedAndIdle();
  EXPECT_FALSE(form->uploadDialogue().BootReady);
  EXPECT_EQ(report("Product"), QStringLiteral("DV-9"));
  EXPECT_EQ(report("File name"), path);
  EXPECT_EQ(report("Upload time"), QStringLiteral("01/03/2026 07:05"));
  EXPECT_EQ(report("Status"), QStringLiteral("Succes"));

  // In file order, each with CR LF, the empty line as a bare CR LF.
  EXPECT_EQ(linesTaken(), onTheWire(lines));
  EXPECT_EQ(BootSimProcess::verdict(report_), QStringLiteral("accepted (OK sent)"));
  const auto gaps = BootSimProcess::gaps(report_);
  ASSERT_TRUE(gaps.has_value()) << report_.toStdString();
  EXPECT_EQ(gaps->count, int(lines.size()) - 1);
  EXPECT_GE(gaps->min, kLineDelay - kReadJitter) << report_.toStdString();
  EXPECT_LT(gaps->max, kLineDelay + 100) << report_.toStdString();
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(UploadEndToEnd, RefusalAfterTheFirstLineEndsWrongFileAndKeepsTheReport) {
  start({QStringLiteral("--announce-repeat"), QStringLiteral("50"), QStringLiteral("--refuse-line"),
         QStringLiteral("1")});
  const char* keys[] = {"Product", "File name", "Upload time", "Status"};
  for (const char* key : keys)
    IniFileHandler::WriteIniValue(QStringLiteral("Romlifter"), QString::fromLatin1(key),
                                  QStringLiteral("earlier %1").arg(key), iniPath());
  const auto lines = dvNineLines(6);
  load(lines);
  openAndAwaitBootLoader();

  form->BtnUpload->click();
  // Seen only after the second line and its pause.
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(2) + QStringLiteral("\r\nWrong File\r\nPort closed"));
  expectClosedAndIdle();
  EXPECT_TRUE(form->uploadDialogue().BootReady);  // left as it was
  for (const char* key : keys) EXPECT_EQ(report(key), QStringLiteral("earlier %1").arg(key)) << key;

  // The port is closed now: a further Upload must not run on it.
  form->BtnUpload->click();
  EXPECT_TRUE(form->serinputText().endsWith(
      QStringLiteral("Port closed") + kUpdating + QStringLiteral("\r\nNot ready for boot")));
  EXPECT_EQ(report("Status"), QStringLiteral("earlier Status"));
  EXPECT_TRUE(form->BtnUpload->isEnabled());

  EXPECT_EQ(linesTaken(), onTheWire({lines[0], lines[1]}));
  EXPECT_EQ(BootSimProcess::verdict(report_), QStringLiteral("refused (Wrong signature at line 1)"));
}

TEST_F(UploadEndToEnd, FinalWaitDecidesBetweenSuccessAndFailure) {
  struct Case {
    const char* name;
    QStringList simArgs;
    std::chrono::milliseconds finalWait;
    QString ending;
    QString status;
  };
  const QString failed = QStringLiteral("\r\nUpdate Failed\r\nPort closed");
  const QString succeeded = QStringLiteral("\r\nUpdated with success\r\nPort closed");
  const Case cases[] = {
      {"no OK at all", {QStringLiteral("--no-ok")}, 300ms, failed, QStringLiteral("Failed")},
      {"OK after the wait", {QStringLiteral("--ok-delay"), QStringLiteral("900")}, 300ms, failed,
       QStringLiteral("Failed")},
      {"OK late in the wait", {QStringLiteral("--ok-delay"), QStringLiteral("300")}, 600ms, succeeded,
       QStringLiteral("Succes")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(QStringList{QStringLiteral("--announce-repeat"), QStringLiteral("50")} + c.simArgs);
    form->uploadDialogue().setFinalWait(c.finalWait);
    const auto lines = dvNineLines(2, false);
    load(lines);
    openAndAwaitBootLoader();

    QElapsedTimer clock;
    clock.start();
    form->BtnUpload->click();
    const auto took = std::chrono::milliseconds(clock.elapsed());
    EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(int(lines.size())) + c.ending);
    EXPECT_EQ(report("Status"), c.status);
    expectClosedAndIdle();
    const auto sending = lines.size() * std::chrono::milliseconds(kLineDelay);
    if (c.status == QStringLiteral("Failed")) {
      EXPECT_GE(took, sending + c.finalWait);
      EXPECT_LT(took, sending + c.finalWait + 1500ms);
    }
    EXPECT_EQ(linesTaken(), onTheWire(lines));
  }
}

TEST_F(UploadEndToEnd, CancelOrPortButtonMidwayEndsCancelled) {
  for (const bool byPortButton : {false, true}) {
    SCOPED_TRACE(byPortButton ? "port button" : "Cancel Upload");
    start({QStringLiteral("--announce-repeat"), QStringLiteral("50")});
    const auto lines = dvNineLines(20, false);
    load(lines);
    openAndAwaitBootLoader();

    bool enabledAfterCancel = false;
    QTimer::singleShot(500, form.get(), [&] {
      if (byPortButton) {
        form->Commport->click();
      } else {
        form->Serial_cancel->click();
        enabledAfterCancel = form->BtnUpload->isEnabled();
      }
    });
    form->BtnUpload->click();
    EXPECT_TRUE(form->serinputText().endsWith(QStringLiteral("\r\nUpdate cancelled\r\nPort closed")))
        << form->serinputText().toStdString();
    EXPECT_EQ(report("Status"), QStringLiteral("Cancelled"));
    EXPECT_EQ(report("Product"), QStringLiteral("DV-9"));
    expectClosedAndIdle();
    EXPECT_FALSE(form->uploadDialogue().StopRequest);
    if (!byPortButton) {
      EXPECT_TRUE(enabledAfterCancel);
    }

    const int sent = int(form->serinputText().count(QStringLiteral(" .")));
    EXPECT_GE(sent, 2);
    EXPECT_LT(sent, int(lines.size()));
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
                                      QStringLiteral("\r\nNot ready for boot\r\nPort closed"));
  expectClosedAndIdle();
  EXPECT_FALSE(form->uploadDialogue().BootReady);
  EXPECT_FALSE(form->uploadDialogue().StopRequest);
  EXPECT_EQ(report("Status"), QString());
  EXPECT_EQ(linesTaken(), QByteArray());
}

TEST_F(UploadEndToEnd, PortButtonOnAnIdleOpenPortClosesItAtOnce) {
  start({QStringLiteral("--announce-repeat"), QStringLiteral("50")});
  load(dvNineLines(2));
  openAndAwaitBootLoader();
  form->Commport->click();
  EXPECT_EQ(form->serinputText(), kReady + QStringLiteral("\r\nPort closed"));
  expectClosedAndIdle();
  EXPECT_FALSE(form->uploadDialogue().BootReady);
  EXPECT_FALSE(form->uploadDialogue().StopRequest);
  // And it can be opened again.
  openAndAwaitBootLoader();
}

TEST_F(UploadEndToEnd, UploadWithoutAUsableFileSendsNothing) {
  start({QStringLiteral("--announce-repeat"), QStringLiteral("50")});
  const QString path = load(dvNineLines(2));
  openAndAwaitBootLoader();
  ASSERT_TRUE(QFile::remove(path));  // moved away after the check

  form->BtnUpload->click();
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + QStringLiteral("\r\nFile not ready or wrong type"));
  EXPECT_TRUE(form->BtnUpload->isEnabled());
  EXPECT_EQ(report("Status"), QString());
  // The boot loader is still waiting: a file put back can go.
  EXPECT_TRUE(form->comForm().CheckMScomm());
  const auto lines = dvNineLines(1, false);
  load(lines);
  form->BtnUpload->click();
  EXPECT_EQ(report("Status"), QStringLiteral("Succes"));
  EXPECT_EQ(linesTaken(), onTheWire(lines));
}

TEST_F(UploadEndToEnd, UploadOfAnUnrecognisedFileIsRefusedBeforeSending) {
  start({QStringLiteral("--announce-repeat"), QStringLiteral("50")});
  openAndAwaitBootLoader();
  form->BtnUpload->click();  // nothing loaded yet
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + QStringLiteral("\r\nFile not ready or wrong type"));
  EXPECT_TRUE(form->comForm().CheckMScomm());
  EXPECT_EQ(report("Status"), QString());
  EXPECT_EQ(linesTaken(), QByteArray());
}

TEST_F(UploadEndToEnd, SecondUploadDuringTheFinalWaitIsIgnored) {
  start({QStringLiteral("--announce-repeat"), QStringLiteral("50"), QStringLiteral("--no-ok")});
  form->uploadDialogue().setFinalWait(600ms);
  const auto lines = dvNineLines(2, false);
  load(lines);
  openAndAwaitBootLoader();

  // Once every line is out, "Cancel Upload" enables the button and a second
  // "Upload" is pressed while the first still waits for "OK".
  bool pressed = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, form.get(), [&] {
    if (pressed || form->serinputText().count(QStringLiteral(" .")) < qsizetype(lines.size())) return;
    pressed = true;
    form->Serial_cancel->click();
    form->BtnUpload->click();
  });
  poll.start(20);
  form->BtnUpload->click();
  poll.stop();

  ASSERT_TRUE(pressed);
  EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(int(lines.size())) +
                                      QStringLiteral("\r\nUpdate Failed\r\nPort closed"));
  EXPECT_EQ(report("Status"), QStringLiteral("Failed"));
  expectClosedAndIdle();
  EXPECT_EQ(linesTaken(), onTheWire(lines));
}

}  // namespace
