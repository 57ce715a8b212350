// Uploads through the real window over a pseudo-terminal to bootsim, the
// simulated boot loader.
#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <serial/ComForm.h>
#include <serial/HexText.h>
#include <settings/IniFileHandler.h>
#include <romlift/LoaderForm.h>
#include <romlift/RomliftSession.h>
#include <serial/SerialLink.h>
#include <sim/bootsim/SRecord.h>

#include <chrono>
#include <memory>
#include <vector>

#include <tests/sim/SimProcess.h>
#include <tests/support/PtyBench.h>

namespace {

using namespace std::chrono_literals;

constexpr int kLineDelay = 150;  // ms, the smallest pace
const QString kReady = QStringLiteral("Amplifier and CD Boot Loader\r\nWaiting for firmware upload...");
const QString kUpdating = QStringLiteral("\r\nupdating...\r\n");
const QString kPortClosed = QStringLiteral("\r\nPort closed");

QString marks(qsizetype n) { return QStringLiteral(" .").repeated(n); }

// A DV-9 file: header, data records, an empty line among them, end record.
QByteArrayList dvNineLines(int dataRecords, bool withEmptyLine = false, int dataBytes = 6) {
  QByteArrayList lines{"S008000044562D3900F7"};
  for (int r = 0; r < dataRecords; ++r) {
    if (withEmptyLine && r == dataRecords / 2) lines.emplace_back();
    const std::vector<std::uint8_t> data(std::size_t(dataBytes), 0x5A);
    lines.push_back(QByteArray::fromStdString(SRecord::make('1', 0x2000 + r * dataBytes, data)));
  }
  lines.push_back(QByteArray::fromStdString(SRecord::make('9', 0x2000, {})));
  return lines;
}

QByteArray onTheWire(const QByteArrayList& lines) {
  return lines.isEmpty() ? QByteArray() : lines.join("\r\n") + "\r\n";
}

class UploadEndToEnd : public ::testing::Test {
 protected:
  // A fresh folder, bootsim on its own terminal (announcing every 50 ms
  // unless told otherwise), and the window with COM1 leading there.
  void start(QStringList simArgs = {}, std::chrono::milliseconds finalWait = std::chrono::seconds{5}) {
    form.reset();
    session.reset();
    sim.reset();
    dir = std::make_unique<QTemporaryDir>();
    if (!simArgs.contains(QStringLiteral("--no-announce"))) simArgs << QStringLiteral("--announce-repeat") << "50";
    sim = std::make_unique<BootSimProcess>(simArgs << "--lines-out" << dir->filePath("taken"));
    ASSERT_TRUE(sim->started());
    iniPath = writePortsIni(dir->path(), 1, sim->slavePath());
    session = std::make_unique<RomliftSession>(
        RomliftSession::Start::Window, dir->path(), MessageSink{},
        Timing{.finalWait = finalWait, .clock = [] { return QDateTime(QDate(2026, 3, 1), QTime(7, 5, 42)); }});
    form = std::make_unique<LoaderForm>(*session);
    session->link().setPortMessage([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
    form->Form_Load();
    form->uploadDialogue().LineDelay = kLineDelay;  // read from setup.ini in LoaderFormWindow
  }

  QString load(const QByteArrayList& lines) {
    const QString path = dir->filePath(QStringLiteral("fw.s19"));
    EXPECT_TRUE(writeFile(path, onTheWire(lines)));
    form->setFileChooser([path] { return path; });
    form->Load_Click();
    return path;
  }

  // Ends bootsim and returns the bytes it took as lines.
  QByteArray linesTaken() {
    simReport = sim->stop();
    return fileBytes(dir->filePath(QStringLiteral("taken")));
  }

  std::unique_ptr<QTemporaryDir> dir;
  std::unique_ptr<BootSimProcess> sim;
  std::unique_ptr<RomliftSession> session;
  std::unique_ptr<LoaderForm> form;
  QString simReport, iniPath;
};

// The silence after each line is measured on the far end's wire clock at
// each speed: it must never be shorter than the line delay, whatever the
// line's own transmit time (32-byte records take 79 ms at 9600 baud).
TEST_F(UploadEndToEnd, SendsEveryLineWithItsSilenceOnTheWireAndReportsSuccess) {
  const std::pair<const char*, QAction* LoaderForm::*> speeds[] = {
      {"9600", &LoaderForm::Speed_9600}, {"57600", &LoaderForm::Speed_57600}, {"115200", &LoaderForm::Speed_115000}};
  // The pseudo-terminal hands a line to bootsim a little late now and then
  // (p99 about 1 ms under load), which shortens the gap after it on bootsim's
  // clock. So a short gap earns one more upload at that speed; a pause that
  // is really short fails both.
  for (const auto& [baud, speed] : speeds) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
      SCOPED_TRACE(baud);
      start({QStringLiteral("--baud"), QString::fromLatin1(baud)});
      (form.get()->*speed)->trigger();
      const auto lines = dvNineLines(4, true, 32);
      load(lines);
      form->Commport->click();
      ASSERT_EQ(form->Commport->text(), QStringLiteral("Close Comm Port"));
      QStringList shown;
      QObject::connect(form->comForm().Text1, &QLineEdit::textChanged, [&](const QString& text) { shown << text; });

      form->BtnUpload->click();
      // The ending, the buttons and the report are the matrix's; here the empty line counts as a mark.
      EXPECT_EQ(form->serinputText(), kReady + kUpdating + marks(lines.size()) +
                                          QStringLiteral("\r\nUpdated with success") + kPortClosed);

      // Line, CR and LF go as separate sends.
      QStringList expected;
      for (const QByteArray& l : lines) expected << "TX: " + HexText::HexStringToReadable(l) << "TX: 0D " << "TX: 0A ";
      EXPECT_EQ(shown, expected);

      // On the far end: in file order, each with CR LF, the empty line as a
      // bare CR LF, and never less silence than the line delay. Its "OK" is
      // the log's success.
      EXPECT_EQ(linesTaken(), onTheWire(lines));
      const auto gaps = BootSimProcess::gaps(simReport);
      ASSERT_TRUE(gaps.has_value()) << simReport.toStdString();
      if (gaps->min < kLineDelay && attempt == 1) continue;
      EXPECT_GE(gaps->min, kLineDelay) << simReport.toStdString();
      EXPECT_NEAR(gaps->median, kLineDelay, 3) << simReport.toStdString();
      break;
    }
  }
}

// The adapter pulled out while the port, open and idle, waits for "Upload":
// the port button offers to open it again.
TEST_F(UploadEndToEnd, IdlePortLostGivesTheButtonBack) {
  start({QStringLiteral("--vanish-after"), QStringLiteral("announce"), QStringLiteral("--vanish-delay"), "300"});
  load(dvNineLines(2));
  form->Commport->click();
  ASSERT_TRUE(form->uploadDialogue().BootReady);
  EXPECT_TRUE(waitUntil([&] { return !session->link().CheckMScomm(); }, 3s));
  EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
  EXPECT_EQ(form->serinputText(), kReady + kPortClosed);
  EXPECT_FALSE(form->uploadDialogue().BootReady);
}

// The fault matrix: what the boot loader does (or the line, or the
// operator), and how the upload must end: the log, the report, the buttons.
enum class Act {
  None, CancelMid, PortMid, CancelFinal, PortFinal, CancelWaiting, PortWaiting, CancelIdle, CancelClosed,
  NoFile, FileGone  // Upload without a usable file, then the port button
};

struct FaultRow {
  const char* name;
  QStringList sim;
  Act act;
  int marks;           // progress marks in the log; -N: at least N, and fewer than the lines
  QString ending;      // the log after the marks
  const char* status;  // the report's status; nullptr: the earlier report kept
  std::chrono::milliseconds finalWait = 600ms, within = 0ms;  // within: the upload's longest time, if any
};

TEST_F(UploadEndToEnd, FaultMatrix) {
  const QString ok = "\r\nUpdated with success" + kPortClosed, failed = "\r\nUpdate Failed" + kPortClosed,
                wrong = "\r\nWrong File" + kPortClosed, cancelled = "\r\nUpdate cancelled" + kPortClosed;
  const QString noFile = "\r\nFile not ready or wrong type" + kPortClosed;
  // A file of 8 lines: header, 6 data records, end record.
  const FaultRow rows[] = {
      {"accepted", {}, Act::None, 8, ok, "Succes"},
      {"refused at the first line", {"--refuse-line", "1"}, Act::None, 2, wrong, nullptr},
      {"refused in the middle", {"--refuse-line", "4"}, Act::None, 5, wrong, nullptr},
      {"refused at the last line", {"--refuse-line", "8"}, Act::None, 8, failed, "Failed"},
      {"OK within the final wait", {"--ok-delay", "300"}, Act::None, 8, ok, "Succes"},
      {"OK after the final wait", {"--ok-delay", "900"}, Act::None, 8, failed, "Failed", 300ms},
      {"OK before the last line", {"--ok-after", "3"}, Act::None, 8, ok, "Succes"},
      {"OK never", {"--no-ok"}, Act::None, 8, failed, "Failed"},
      {"stray bytes", {"--noise"}, Act::None, 8, ok, "Succes"},
      {"stray bytes, refused", {"--noise", "--refuse-line", "1"}, Act::None, 2, wrong, nullptr},
      // Seen at the first yield or send after the line closed, whichever comes first.
      {"vanishes after the third line", {"--vanish-after", "3"}, Act::None, -3, failed, "Failed", 600ms, 3000ms},
      {"vanishes waiting for OK", {"--no-ok", "--vanish-after", "8", "--vanish-delay", "200"}, Act::None, 8, failed,
       "Failed", 5000ms, 3000ms},
      {"vanishes waiting for the announcement", {"--no-announce", "--vanish-after", "0", "--vanish-delay", "300"},
       Act::None, 0, kPortClosed, nullptr, 600ms, 1500ms},
      {"Cancel Upload midway", {}, Act::CancelMid, 3, cancelled, "Cancelled"},
      {"port button midway", {}, Act::PortMid, 3, cancelled, "Cancelled"},
      {"Cancel Upload in the final wait, then Upload", {"--ok-delay", "900"}, Act::CancelFinal, 8, failed, "Failed", 300ms},
      {"Cancel Upload in the final wait, then Upload", {"--ok-delay", "300"}, Act::CancelFinal, 8, ok, "Succes"},
      {"port button in the final wait", {"--ok-delay", "300"}, Act::PortFinal, 8, ok, "Succes"},
      {"Cancel Upload waiting for the announcement", {"--no-announce"}, Act::CancelWaiting, 0, kPortClosed, nullptr},
      {"Upload, then the port button, waiting for the announcement", {"--no-announce"}, Act::PortWaiting, 0,
       kUpdating + "\r\nNot ready for boot" + kPortClosed, nullptr},
      {"Cancel Upload before Upload", {}, Act::CancelIdle, 8, ok, "Succes"},
      {"Cancel Upload before the port is opened", {}, Act::CancelClosed, 8, ok, "Succes"},
      // Nothing sent, no report, and the boot loader still waits until the port button closes the idle port.
      {"Upload with no file loaded", {}, Act::NoFile, 0, noFile, nullptr},
      {"Upload of a file moved away after the check", {}, Act::FileGone, 0, noFile, nullptr},
  };
  const char* keys[] = {"Product", "File name", "Upload time", "Status"};
  for (const FaultRow& row : rows) {
    SCOPED_TRACE(row.name);
    start(row.sim, row.finalWait);
    for (const char* key : keys) IniFileHandler::WriteIniValue("Romlifter", key, "earlier " + QString(key), iniPath);
    // Every upload that sent a line is recorded, on disk before its end shows.
    IniFileHandler::WriteIniValue("Production", "Records", "records.csv", iniPath);
    const QString records = dir->filePath(QStringLiteral("records.csv"));
    qsizetype recordLinesWhenShown = -1;
    QObject::connect(form->Text_Serinput, &QPlainTextEdit::textChanged, form.get(), [&] {
      static const QRegularExpression ending(QStringLiteral("Updated with success|Update Failed|Update cancelled|Wrong File"));
      if (recordLinesWhenShown < 0 && ending.match(form->serinputText()).hasMatch())
        recordLinesWhenShown = fileBytes(records).count('\n');
    });
    const auto lines = dvNineLines(6);
    const QString path = row.act == Act::NoFile ? QString() : load(lines);
    const bool announced = !row.sim.contains("--no-announce");
    const bool cancel = row.act == Act::CancelMid || row.act == Act::CancelFinal || row.act == Act::CancelWaiting;
    // The operator acts from inside the program's own yields, when the log
    // shows this many marks (or the wait for the announcement runs).
    const qsizetype at = row.act == Act::CancelMid || row.act == Act::PortMid ? 2 : lines.size();
    bool acted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, form.get(), [&] {
      if (acted || row.act == Act::None || row.act >= Act::CancelIdle) return;
      if (announced ? form->serinputText().count(" .") < at : !form->uploadDialogue().isWaitingForBootLoader()) return;
      acted = true;
      if (row.act == Act::PortWaiting) form->BtnUpload->click();  // leaves the wait running
      (cancel ? form->Serial_cancel : form->Commport)->click();
      if (row.act == Act::CancelFinal) {
        EXPECT_TRUE(form->BtnUpload->isEnabled());
        form->BtnUpload->click();  // ignored while the first upload waits for "OK"
      }
    });
    poll.start(20);
    form->uploadDialogue().setBootWaitLimit(3s);  // then ends the wait as the port button does
    const auto began = std::chrono::steady_clock::now();
    if (row.act == Act::CancelClosed) form->Serial_cancel->click();
    form->Commport->click();  // with no announcement, returns when the wait ends
    if (row.act == Act::CancelIdle) form->Serial_cancel->click();
    ASSERT_TRUE(row.act != Act::FileGone || QFile::remove(path));
    if (announced) form->BtnUpload->click();
    if (row.act >= Act::NoFile) {
      EXPECT_TRUE(form->uploadDialogue().BootReady);
      form->Commport->click();
    }
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(acted, row.act != Act::None && row.act < Act::CancelIdle);
    // A lost adapter ends the upload before the longest wait it could sit out
    // (the final wait, or the 3 s for the announcement); its time and every
    // row's processor share are bench/wait_bench's figures.
    EXPECT_TRUE(row.within == 0ms || took < std::max<std::chrono::milliseconds>(row.finalWait, 3s));
    const QString prefix = announced ? kReady + kUpdating : QStringLiteral("Waiting for response...\r\n");
    const QString text = form->serinputText();
    const qsizetype n = text.count(" .");
    EXPECT_TRUE(row.marks >= 0 ? n == row.marks : n >= -row.marks && n < lines.size()) << n;
    EXPECT_EQ(text.toStdString(), (prefix + marks(n) + row.ending).toStdString());
    EXPECT_TRUE(row.ending != failed || row.within > 0ms || took >= row.finalWait);
    // Closed and idle; ready only where a refusal or failure left the boot loader waiting.
    EXPECT_FALSE(session->link().CheckMScomm());
    EXPECT_EQ(form->Commport->text(), QStringLiteral("Open Comm Port"));
    EXPECT_TRUE(form->BtnUpload->isEnabled() && !form->uploadDialogue().isUploading());
    EXPECT_EQ(form->uploadDialogue().BootReady,
              announced && row.ending != ok && row.act != Act::PortMid && row.act < Act::NoFile);
    EXPECT_EQ(form->uploadDialogue().StopRequest, row.act == Act::CancelFinal || row.act == Act::PortFinal);
    const QStringList expected{"DV-9", path, "01/03/2026 07:05", row.status};
    for (int k = 0; k < 4; ++k)
      EXPECT_EQ(IniFileHandler::ReadIniValue("Romlifter", keys[k], QString(), iniPath),
                row.status ? expected[k] : QStringLiteral("earlier %1").arg(keys[k])) << keys[k];
    // Header and one record, with the log's ending (a vanished device's own).
    const QString ended = row.sim.contains("--vanish-after") ? "Port lost" : row.ending.split("\r\n", Qt::SkipEmptyParts)[0];
    EXPECT_EQ(fileBytes(records).count('\n'), n > 0 ? 2 : 0);
    EXPECT_EQ(recordLinesWhenShown, n > 0 ? 2 : -1);
    EXPECT_TRUE(n == 0 || fileBytes(records).endsWith(("," + ended + ",\r\n").toUtf8())) << fileBytes(records).toStdString();
    // The boot loader took exactly the lines the log counts, with their CR LF.
    if (!row.sim.contains("--vanish-after")) {
      EXPECT_EQ(linesTaken(), onTheWire(lines.first(n)));
    }
  }
}

}  // namespace
