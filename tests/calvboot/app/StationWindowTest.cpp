// The station window as an operator (or a screen reader) finds it: by the
// accessible names of its controls, against calvsim on pseudo-terminals.
#include <QAbstractButton>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <app/StationWindow.h>
#include <settings/IniFileHandler.h>
#include <tests/sim/SimProcess.h>
#include <tests/support/PtyBench.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

const QString kSmall = QStringLiteral(EXAMPLES_DIR "/calv-small.ldr");
const QString kTwoBlock = QStringLiteral(EXAMPLES_DIR "/calv-two-block.ldr");

// A station in a folder of its own over COM1..COMn as the "Ports" lines say.
struct Station {
  Station(const QStringList& devices, const QString& file) {
    QByteArray ini = "[Calvsettings]\r\nSerial=700\r\n[Ports]\r\n";
    std::vector<StationSlots::Port> ports;
    for (int n = 1; n <= devices.size(); ++n) {
      ini += QStringLiteral("COM%1=%2\r\n").arg(n).arg(devices[n - 1]).toUtf8();
      ports.push_back({std::uint8_t(n), {}, {}, {}});
    }
    writeFile(dir.filePath("setup.ini"), ini);
    StationSlots::Settings settings;
    settings.folder = dir.path();
    settings.file = file;
    settings.timing.reply = 1500ms;
    settings.probeEvery = 150ms;
    settings.probeReply = 300ms;
    window = std::make_unique<StationWindow>(std::move(settings), ports);
    window->show();
  }
  template <typename T = QWidget>
  T* control(const QString& name) const {
    for (T* w : window->findChildren<T*>())
      if (w->accessibleName() == name) return w;
    ADD_FAILURE() << "no control " << name.toStdString();
    return nullptr;
  }
  QString text(const QString& name) const { return control<QLabel>(name)->text(); }
  void click(const QString& name) const { control<QAbstractButton>(name)->click(); }
  bool shows(const QString& name, const QString& text) const {
    return waitUntil([&] { return this->text(name) == text; }, 30s);
  }
  QString counter() const {
    return IniFileHandler::ReadIniValue("Calvsettings", "Serial", {}, dir.filePath("setup.ini"));
  }

  QTemporaryDir dir;
  std::unique_ptr<StationWindow> window;
};

// "Start all" on a fixture, an amplifier and a port with nothing behind it:
// each row ends on its own; then one slot's own "Start" runs it alone.
TEST(StationWindow, StartAllThenOneSlot) {
  CalvsimProcess fixture({"--fixture"}), amplifier;
  ASSERT_TRUE(fixture.started() && amplifier.started());
  Station s({fixture.slavePath(), amplifier.slavePath(), "/dev/no-such-tty"}, kSmall);
  EXPECT_EQ(s.text("COM1 port"), "COM1");
  EXPECT_EQ(s.text("COM1 adapter"), "");  // a pseudo-terminal has none
  EXPECT_FALSE(s.control("Stop all slots")->isEnabled());

  s.click("Start all slots");
  EXPECT_FALSE(s.control("COM1 start")->isEnabled());
  ASSERT_TRUE(s.shows("COM1 result", "Done with succes")) << s.text("COM1 state").toStdString();
  ASSERT_TRUE(s.shows("COM2 result", "Done with succes")) << s.text("COM2 state").toStdString();
  ASSERT_TRUE(s.shows("COM3 result", "port not opened"));
  EXPECT_EQ(s.text("COM1 serial"), "700");
  EXPECT_EQ(s.text("COM2 serial"), "-");
  EXPECT_EQ(s.text("COM3 serial"), "-");
  EXPECT_EQ(s.control<QProgressBar>("COM1 progress")->value(), 100);
  EXPECT_EQ(s.control<QProgressBar>("COM3 progress")->value(), 0);
  EXPECT_EQ(s.text("COM2 state"), "ended");
  EXPECT_TRUE(s.text("COM2 time").endsWith(" s"));
  EXPECT_EQ(s.counter(), "701");

  s.click("COM1 start");
  EXPECT_EQ(s.text("COM1 result"), "");
  for (const QString other : {"COM2", "COM3"}) EXPECT_EQ(s.text(other + " state"), "ended");
  EXPECT_EQ(s.text("COM2 result"), "Done with succes");
  ASSERT_TRUE(s.shows("COM1 result", "Done with succes"));
  EXPECT_EQ(s.text("COM1 serial"), "701");
  EXPECT_EQ(s.counter(), "702");
}

// "Stop all" ends every slot after its command in flight: the runs end as
// faults, the modules stay in boot mode for the next pass.
TEST(StationWindow, StopAllEndsEverySlot) {
  CalvsimProcess one({"--baud", "9600"}), two({"--baud", "9600"});
  ASSERT_TRUE(one.started() && two.started());
  Station s({one.slavePath(), two.slavePath()}, kTwoBlock);
  s.click("Start all slots");
  ASSERT_TRUE(waitUntil([&] { return s.control<QProgressBar>("COM2 progress")->value() > 0; }, 30s));
  s.click("Stop all slots");
  EXPECT_EQ(s.text("COM1 state"), "stopping");
  for (const QString slot : {"COM1", "COM2"}) {
    ASSERT_TRUE(s.shows(slot + " result", "Fault")) << s.text(slot + " state").toStdString();
    EXPECT_LT(s.control<QProgressBar>(slot + " progress")->value(), 100);
  }
  EXPECT_TRUE(one.stop().contains("boot mode active"));
  EXPECT_TRUE(two.stop().contains("boot mode active"));
  EXPECT_FALSE(s.control("Stop all slots")->isEnabled());
}

// Auto-start: a fixture that appears is programmed once; only after it has
// been taken away does the next one that appears start the slot again.
TEST(StationWindow, AutoStartOncePerUnit) {
  QTemporaryDir links;
  const QString unit = links.filePath("unit");
  Station s({unit}, kSmall);
  s.click("Start when a unit answers, every slot");
  EXPECT_TRUE(s.shows("COM1 state", "waiting for a unit"));

  auto sim = std::make_unique<CalvsimProcess>(QStringList{"--fixture", "--link", unit});
  ASSERT_TRUE(sim->started());
  ASSERT_TRUE(s.shows("COM1 result", "Done with succes"));
  EXPECT_EQ(s.text("COM1 serial"), "700");
  EXPECT_TRUE(s.shows("COM1 state", "ended, take the unit away"));
  // Still on the fixture: no second run, however long it stays.
  waitUntil([] { return false; }, 1500ms);
  EXPECT_EQ(s.counter(), "701");
  EXPECT_EQ(s.text("COM1 state"), "ended, take the unit away");

  sim.reset();  // taken away: its line is gone
  ASSERT_TRUE(s.shows("COM1 state", "waiting for a unit"));
  sim = std::make_unique<CalvsimProcess>(QStringList{"--fixture", "--link", unit});
  ASSERT_TRUE(s.shows("COM1 serial", "701"));
  EXPECT_EQ(s.text("COM1 result"), "Done with succes");
  EXPECT_EQ(s.counter(), "702");
}

}  // namespace
