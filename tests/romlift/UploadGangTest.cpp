// romlift --upload FILE --ports LIST: several boot loaders from one process,
// each bootsim on a terminal of its own, as a production script runs it.
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include <tests/sim/SimProcess.h>
#include <tests/support/CliFolder.h>
#include <tests/support/FakeAdapters.h>
#include <tests/support/PtyBench.h>

namespace {

const QString kSample = QStringLiteral(EXAMPLES_DIR "/dv-9.s19");
constexpr double kDelay = 150;  // ms, --delay of every run here

// One bootsim per slot, COM1.. in setup.ini leading to them; each keeps the
// lines it took.
struct Gang {
  CliFolder folder{QStringLiteral(ROMLIFT_PATH)};
  std::vector<std::unique_ptr<BootSimProcess>> sims;
  QStringList devices;
  QStringList reports;
  QString baud = QStringLiteral("115200");  // the line's, both ends

  // options: one list per slot; every loader announces every 50 ms unless told not to.
  bool start(const std::vector<QStringList>& options) {
    QString ini = QStringLiteral("[Ports]\r\n");
    for (std::size_t i = 0; i < options.size(); ++i) {
      QStringList o = options[i];
      if (!o.contains(QStringLiteral("--no-announce"))) o << QStringLiteral("--announce-repeat") << QStringLiteral("50");
      o << QStringLiteral("--baud") << baud << QStringLiteral("--lines-out") << taken(i);
      sims.push_back(std::make_unique<BootSimProcess>(o));
      if (!sims.back()->started()) return false;
      devices << sims.back()->slavePath();
      ini += QStringLiteral("COM%1=%2\r\n").arg(i + 1).arg(devices.last());
    }
    folder.writeIni(ini.toUtf8());
    return true;
  }
  QString taken(std::size_t i) const { return folder.path(QStringLiteral("taken%1").arg(i + 1)); }
  // Ends every bootsim; their reports.
  void stop() {
    for (auto& sim : sims) reports << sim->stop();
  }
  CliFolder::Result run(const QStringList& more, const QString& interruptAt = {}) {
    return folder.run(QStringList{QStringLiteral("--upload"), kSample, QStringLiteral("--delay"), QString::number(kDelay),
                                  QStringLiteral("--speed"), baud, QStringLiteral("--records"),
                                  QStringLiteral("r.csv")} +
                          more,
                      interruptAt);
  }
};

// The end table's rows, each as its cells joined by '|'.
std::vector<QString> tableRows(const QString& out, int cells) {
  const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
  std::vector<QString> rows;
  bool inTable = false;
  for (const QString& line : lines) {
    if (line.startsWith(QStringLiteral("Slot "))) {
      inTable = true;
      rows.clear();
    }
    if (inTable) rows.push_back(line.split(QRegularExpression(QStringLiteral("\\s{2,}"))).mid(0, cells).join(u'|'));
  }
  return rows;
}

QList<QByteArray> recordStatuses(const QString& csv) {
  QList<QByteArray> statuses;
  const QList<QByteArray> lines = fileBytes(csv).split('\n');
  for (qsizetype i = 1; i < lines.size(); ++i)
    if (!lines[i].trimmed().isEmpty()) statuses << lines[i].trimmed().split(',').last();
  return statuses;
}

// Eight boot loaders at once: each takes the file byte for byte with every
// silence after a line as long as the line delay (not shortened, and not
// stretched by the others), each slot leaves its record, and the table names
// every one.
TEST(UploadGang, EightLoadersEachTakeTheFileAtTheirOwnPace) {
  constexpr int kSlots = 8;
  // bootsim times the gaps on its wire clock; one that the loaded machine
  // schedules late takes a line's end late and the gap after it looks that
  // much (a few ms) shorter. A silence counted from the wrong moment loses a
  // line's transmit time, 46 ms at 9600 baud: the allowance lies between.
  constexpr double kLateRead = 10;  // ms
  Gang gang;
  gang.baud = QStringLiteral("9600");
  ASSERT_TRUE(gang.start(std::vector<QStringList>(kSlots)));
  const CliFolder::Result r = gang.run({QStringLiteral("--ports"), QStringLiteral("1-8")});
  gang.stop();
  ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out) << qPrintable(r.err);

  const std::vector<QString> rows = tableRows(r.out, 5);
  ASSERT_EQ(rows.size(), std::size_t(kSlots + 1)) << qPrintable(r.out);
  EXPECT_EQ(rows[0], QStringLiteral("Slot|Outcome|Exit|Serial|Time")) << qPrintable(r.out);
  for (int n = 1; n <= kSlots; ++n)
    EXPECT_TRUE(rows[std::size_t(n)].startsWith(QStringLiteral("COM%1|Updated with success|0|-|").arg(n))) << qPrintable(r.out);
  EXPECT_EQ(recordStatuses(gang.folder.path(QStringLiteral("r.csv"))).join(' '), QByteArrayList(kSlots, "0").join(' '));
  EXPECT_TRUE(gang.folder.ini().contains("Status=Succes"));

  for (std::size_t i = 0; i < kSlots; ++i) {
    EXPECT_EQ(fileBytes(gang.taken(i)), fileBytes(kSample)) << i;
    const auto gaps = BootSimProcess::gaps(gang.reports[int(i)]);
    ASSERT_TRUE(gaps.has_value()) << qPrintable(gang.reports[int(i)]);
    EXPECT_EQ(gaps->count, 9) << qPrintable(gang.reports[int(i)]);
    EXPECT_GE(gaps->min, kDelay - kLateRead) << qPrintable(gang.reports[int(i)]);
    EXPECT_NEAR(gaps->median, kDelay, 3) << qPrintable(gang.reports[int(i)]);
  }
}

// Slots whose loader never announces itself, whose line vanishes mid-file or
// that refuse a line end alone with their own status; the others pass and
// the process ends with the status of the first failed slot in port order.
// COM1's adapter is named on its lines and in the table; COM6 is bound to an
// adapter that is not there and sends nothing.
TEST(UploadGang, FailedSlotsEndAloneAndTheFirstDecides) {
  Gang gang;
  ASSERT_TRUE(gang.start({{},
                          {QStringLiteral("--no-announce")},
                          {QStringLiteral("--vanish-after"), QStringLiteral("3")},
                          {QStringLiteral("--refuse-line"), QStringLiteral("2")},
                          {},
                          {}}));
  std::optional<FakeAdapters> adapters(std::in_place, gang.folder);
  const QString adapter = adapters->add(0, gang.devices[0], "KB0001");
  gang.folder.writeIni(QString::fromUtf8(gang.folder.ini()).replace(gang.devices[0], adapter).toUtf8() +
                       "[Adapters]\r\nCOM6=KB0009\r\n");
  const CliFolder::Result r = gang.run({QStringLiteral("--ports"), QStringLiteral("1-6"), QStringLiteral("--wait-boot"),
                                        QStringLiteral("1")});
  adapters.reset();
  gang.stop();
  EXPECT_TRUE(r.out.contains(QStringLiteral("COM1: %1  [KB0001]  updating...").arg(adapter))) << qPrintable(r.out);
  EXPECT_EQ(r.exitCode, 4) << qPrintable(r.out) << qPrintable(r.err);
  EXPECT_TRUE(r.err.contains(QStringLiteral("romlift: COM2: no boot loader within 1 s"))) << qPrintable(r.err);
  EXPECT_TRUE(r.err.contains(QStringLiteral("romlift: COM3 lost: /dev/pts/"))) << qPrintable(r.err);

  EXPECT_TRUE(r.err.contains(QStringLiteral("adapter serial KB0009 expected, found none ([Adapters] COM6 in ")))
      << qPrintable(r.err);
  EXPECT_TRUE(fileBytes(gang.taken(5)).isEmpty());

  const std::vector<QString> rows = tableRows(r.out, 5);
  ASSERT_EQ(rows.size(), 7u) << qPrintable(r.out);
  EXPECT_EQ(rows[0], QStringLiteral("Slot|Outcome|Exit|Serial|Adapter")) << qPrintable(r.out);
  const char* expected[] = {"COM1|Updated with success|0|-|KB0001", "COM2|No boot loader|4|-|-", "COM3|Update Failed|3|-|-",
                            "COM4|Wrong File|2|-|-", "COM5|Updated with success|0|-|-", "COM6|Comm Port not open|3|-|-"};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(rows[i + 1], QString::fromLatin1(expected[i])) << qPrintable(r.out);
  for (std::size_t i : {0u, 4u}) {
    EXPECT_EQ(fileBytes(gang.taken(i)), fileBytes(kSample)) << i;
    // At the run's speed: a line's transmit time is counted at 115200 baud.
    const auto gaps = BootSimProcess::gaps(gang.reports[int(i)]);
    ASSERT_TRUE(gaps.has_value()) << qPrintable(gang.reports[int(i)]);
    EXPECT_NEAR(gaps->median, kDelay, 3) << qPrintable(gang.reports[int(i)]);
  }
  // The refused loader got the refused line and one more, as a single run sends.
  EXPECT_EQ(fileBytes(gang.taken(3)).count("\r\n"), 3);
  // A loader that never announced reached no upload, as in a single run: no
  // record; a refused adapter has its port-not-open record.
  QList<QByteArray> statuses = recordStatuses(gang.folder.path(QStringLiteral("r.csv")));
  std::sort(statuses.begin(), statuses.end());
  EXPECT_EQ(statuses.join(' '), "0 0 2 3 3");
}

// Ctrl+C ends every slot as it ends a single run: an upload with "Update
// cancelled" before its next line, the report and its record saying so; a
// wait for the boot loader (the second slot's never comes) with "Port
// closed" and no record. Every slot's status is 130.
TEST(UploadGang, AStopEndsEverySlotAsASingleRunsStop) {
  Gang gang;
  ASSERT_TRUE(gang.start({{}, {QStringLiteral("--no-announce")}, {}}));
  const CliFolder::Result r = gang.run({QStringLiteral("--devices"), gang.devices.join(u',')}, QStringLiteral("lines ("));
  gang.stop();
  EXPECT_EQ(r.exitCode, 130) << qPrintable(r.out) << qPrintable(r.err);
  const std::vector<QString> rows = tableRows(r.out, 3);
  ASSERT_EQ(rows.size(), 4u) << qPrintable(r.out);
  EXPECT_EQ(rows[2], gang.devices[1] + QStringLiteral("|Port closed|130")) << qPrintable(r.out);
  EXPECT_TRUE(fileBytes(gang.taken(1)).isEmpty());
  for (std::size_t i : {0u, 2u}) {
    EXPECT_EQ(rows[i + 1], gang.devices[int(i)] + QStringLiteral("|Update cancelled|130")) << qPrintable(r.out);
    const QByteArray taken = fileBytes(gang.taken(i));
    EXPECT_TRUE(!taken.isEmpty() && taken.size() < fileBytes(kSample).size() && fileBytes(kSample).startsWith(taken))
        << taken.constData();
  }
  EXPECT_TRUE(gang.folder.ini().contains("Status=Cancelled"));
  EXPECT_EQ(recordStatuses(gang.folder.path(QStringLiteral("r.csv"))).join(' '), "130 130");
}

TEST(UploadGang, OptionsForOneUnitAreRefused) {
  CliFolder folder(QStringLiteral(ROMLIFT_PATH));
  const QStringList run{QStringLiteral("--upload"), kSample};
  for (const QStringList& bad : {QStringList{"--ports", "1-2", "--window"}, QStringList{"--ports", "1", "--port", "2"},
                                 QStringList{"--devices", "a", "--device", "b"}, QStringList{"--ports", "2-1"},
                                 QStringList{"--devices", "a,a"}}) {
    const CliFolder::Result r = folder.run(run + bad);
    EXPECT_EQ(r.exitCode, 64) << qPrintable(bad.join(u' ')) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Usage:"))) << qPrintable(r.err);
  }
}

// What a terminal shows after the bytes written to it: carriage return, line
// feed (with the terminal's own return), erase to the end of the line or the
// screen, and cursor up.
QStringList screen(const QByteArray& bytes) {
  QStringList rows{QString()};
  int row = 0, col = 0;
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      col = 0;
      if (++row == rows.size()) rows << QString();
    } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      qsizetype j = i + 2;
      while (j < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[j]))) ++j;
      const int n = bytes.mid(i + 2, j - i - 2).toInt();
      if (j < bytes.size() && bytes[j] == 'A') row = std::max(0, row - std::max(n, 1));
      if (j < bytes.size() && bytes[j] == 'K') rows[row].truncate(col);
      if (j < bytes.size() && bytes[j] == 'J') {
        rows[row].truncate(col);
        rows.erase(rows.begin() + row + 1, rows.end());
      }
      i = j;
    } else {
      QString& line = rows[row];
      if (line.size() < col) line = line.leftJustified(col);
      line.replace(col, 1, QChar::fromLatin1(c));
      ++col;
    }
  }
  return rows;
}

// On a terminal the slots' lines are kept current in place; a slot's
// message (its line lost) is written above them, so the board neither shifts
// nor leaves a stale line behind, and the message stays on the screen.
TEST(UploadGang, MessagesOnATerminalGoAboveTheBoard) {
  Gang gang;
  ASSERT_TRUE(gang.start({{}, {QStringLiteral("--vanish-after"), QStringLiteral("4")}, {}}));
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.isOpen());
  QProcess process;
  process.setWorkingDirectory(gang.folder.path(QString()));
  process.setStandardOutputFile(terminal.slavePath());
  process.setStandardErrorFile(terminal.slavePath(), QIODevice::Append);
  process.start(gang.folder.path(QStringLiteral("romlift")),
                {QStringLiteral("--upload"), kSample, QStringLiteral("--delay"), QString::number(kDelay),
                 QStringLiteral("--speed"), QStringLiteral("115200"), QStringLiteral("--ports"), QStringLiteral("1-3")});
  ASSERT_TRUE(process.waitForStarted(5000));
  QByteArray shown;
  for (int waited = 0; process.state() != QProcess::NotRunning && waited < 30000; waited += 50) {
    process.waitForFinished(50);
    shown += terminal.readUntilQuiet(std::chrono::milliseconds{1}, std::chrono::milliseconds{10});
  }
  shown += terminal.readUntilQuiet(std::chrono::milliseconds{50}, std::chrono::milliseconds{500});
  gang.stop();
  EXPECT_EQ(process.exitCode(), 3) << shown.constData();

  const QStringList rows = screen(shown);
  const QString all = rows.join(u'\n');
  const QStringList lost = rows.filter(QStringLiteral("romlift: COM2 lost: /dev/pts/"));
  EXPECT_EQ(lost.size(), 1) << qPrintable(all);
  for (int n = 1; n <= 3; ++n) {
    // The slot's board line (its device shown), once, below the message.
    const QRegularExpression board(QStringLiteral("^COM%1  /dev/pts/").arg(n));
    const QStringList lines = rows.filter(board);
    ASSERT_EQ(lines.size(), 1) << qPrintable(all);
    EXPECT_GT(rows.indexOf(lines.first()), rows.indexOf(lost.value(0))) << qPrintable(all);
    EXPECT_TRUE(lines.first().endsWith(n == 2 ? QStringLiteral("Update Failed") : QStringLiteral("Updated with success")))
        << qPrintable(all);
  }
}

}  // namespace
