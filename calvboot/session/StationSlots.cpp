#include "StationSlots.h"

#include <QDir>
#include <QMetaObject>
#include <QThread>

#include <platform/PortListing.h>
#include <protocol/RSfunctions.h>
#include <serial/AdapterIdentity.h>
#include <serial/SerialPortControl.h>

#include <algorithm>

namespace {

// A unit taken away is one that stays silent this many looks in a row: a
// module that restarts after its run may miss one.
constexpr int kSilentLooksForGone = 2;

}  // namespace

// A slot's news, from its thread to the station's, queued.
class StationSlots::Report : public CalvSlot::Listener {
 public:
  Report(StationSlots& station, int index, MessageSink messages)
      : station_(station), index_(index), name_(station.row(index).name), messages_(std::move(messages)) {}

  void phase(const QString& text) override {
    if (!text.isEmpty()) post([text](Row& r) { r.phase = text; });
  }
  void bytes(qint64 done, qint64 total) override {
    // A row shows whole percents: the rest would only queue repaints.
    const int percent = total > 0 ? int(done * 100 / total) : 0;
    if (percent == lastPercent_ && done != 0 && done != total) return;
    lastPercent_ = percent;
    post([done, total](Row& r) {
      r.done = done;
      r.total = total;
    });
  }
  void said(const QString& text) override {
    if (messages_) messages_(name_ + QStringLiteral(": ") + text);
  }
  void linkLine(const QString& line) override {
    if (messages_) messages_(line);
  }
  void ended(const CalvSlot::End& end) override {
    QMetaObject::invokeMethod(
        &station_, [station = &station_, index = index_, end] { station->runOver(index, end); }, Qt::QueuedConnection);
  }

 private:
  template <typename Change>
  void post(Change change) {
    QMetaObject::invokeMethod(
        &station_,
        [station = &station_, index = index_, change] {
          change(station->rows_[std::size_t(index)].row);
          emit station->rowChanged(index);
        },
        Qt::QueuedConnection);
  }

  StationSlots& station_;
  int index_;
  QString name_;
  MessageSink messages_;
  int lastPercent_ = -1;
};

// One look at a slot's line, on a thread of its own: the wait for the
// answer never holds up the window.
class StationSlots::Look : public QThread {
 public:
  explicit Look(CalvSlot::Setup setup) : setup_(std::move(setup)) {}
  // At most the look's reply wait.
  ~Look() override { wait(); }
  DeviceKindFound found = DeviceKindFound::Unknown;  // read after the thread finished

 protected:
  void run() override { found = probeUnit(setup_); }

 private:
  CalvSlot::Setup setup_;
};

StationSlots::StationSlots(Settings settings, const std::vector<Port>& ports, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), ports_(ports) {
  // The command table is the program's; the slots only read it.
  static const bool tableReady = (RSfunctions::InitCommandTable(), true);
  (void)tableReady;
  const QString iniPath = QDir(settings_.folder).filePath(QStringLiteral("setup.ini"));
  rows_.resize(ports_.size());
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    Row& r = rows_[i].row;
    const Port& port = ports_[i];
    r.name = port.name();
    r.device = port.device.isEmpty() ? SerialPortControl::deviceForPort(port.comPort, iniPath) : port.device;
    if (const QString tty = AdapterIdentity::ttyName(r.device); !tty.isEmpty()) {
      const AdapterIdentity id = AdapterIdentity::of(tty);
      r.adapter = id.serial.isEmpty() ? id.summary() : id.serial;
    }
  }
  lookTimer_.setInterval(settings_.probeEvery);
  connect(&lookTimer_, &QTimer::timeout, this, &StationSlots::lookAround);
}

StationSlots::~StationSlots() {
  lookTimer_.stop();
  for (Slot& s : rows_)
    if (s.run) s.run->requestStop();
  // Each ends after its command in flight; a look after its reply wait.
  for (Slot& s : rows_) {
    s.run.reset();
    s.look.reset();
  }
}

std::vector<StationSlots::Port> StationSlots::presentPorts(const QString& iniPath) {
  std::vector<Port> present;
  const QStringList consoles = platform::consolePorts();
  for (int n = 1; n <= 16; ++n) {
    const QString tty = AdapterIdentity::ttyName(SerialPortControl::deviceForPort(n, iniPath));
    // Opening a serial console would change its line settings.
    if (!tty.isEmpty() && consoles.contains(tty)) continue;
    SerialPortControl look;
    look.setPortsIniPath(iniPath);
    look.setCommPort(n);
    look.setLookOnly(true);
    const int opened = look.setPortOpen(true);
    look.setPortOpen(false);
    // A name without a UART behind it is no port; one held by another
    // program or refused to this user is, and its row says so when started.
    if (opened == 0 || opened == SerialPortControl::kErrPortInUse ||
        (opened != SerialPortControl::kErrNoSuchPort &&
         SerialPortControl::accessRefused(SerialPortControl::deviceForPort(n, iniPath))))
      present.push_back({std::uint8_t(n), {}, {}, {}});
  }
  return present;
}

QString StationSlots::stateText(const Row& row) {
  switch (row.state) {
    case State::Idle: return QStringLiteral("idle");
    case State::Looking: return QStringLiteral("waiting for a unit");
    case State::Running: return row.phase.isEmpty() ? QStringLiteral("starting") : row.phase;
    case State::Stopping: return QStringLiteral("stopping");
    case State::Ended: return QStringLiteral("ended");
    case State::TakeAway: return QStringLiteral("ended, take the unit away");
  }
  return {};
}

CalvSlot::Setup StationSlots::setupFor(const Slot& slot) const {
  CalvSlot::Setup setup;
  setup.port = ports_[std::size_t(&slot - rows_.data())];
  setup.speed = settings_.speed;
  setup.address = settings_.address;
  setup.file = settings_.file;
  setup.folder = settings_.folder;
  setup.timing = settings_.timing;
  return setup;
}

void StationSlots::setState(int index, State state) {
  rows_[std::size_t(index)].row.state = state;
  emit rowChanged(index);
}

bool StationSlots::anyRunning() const {
  return std::any_of(rows_.begin(), rows_.end(), [](const Slot& s) { return s.run != nullptr; });
}

void StationSlots::start(int index) {
  Slot& s = rows_.at(std::size_t(index));
  const bool ended = s.row.state != State::Running && s.row.state != State::Stopping;
  // A look, or a run that has ended but not yet let go of its port, holds
  // the line: the run follows it.
  if (s.look || (s.run && ended)) s.startWanted = true;
  else if (!s.run) launch(index);
}

void StationSlots::startAll() {
  for (int i = 0; i < count(); ++i) start(i);
}

void StationSlots::launch(int index) {
  Slot& s = rows_[std::size_t(index)];
  s.startWanted = false;
  s.report = std::make_unique<Report>(*this, index, settings_.messages);
  s.run = std::make_unique<CalvSlot>(setupFor(s), *s.report);
  Row& r = s.row;
  r.phase.clear();
  r.done = r.total = 0;
  r.end.reset();
  r.started = std::chrono::steady_clock::now();
  ++r.runs;
  connect(s.run.get(), &QThread::finished, this, [this, index] { runFinished(index); });
  setState(index, State::Running);
  s.run->start();
}

void StationSlots::runOver(int index, const CalvSlot::End& end) {
  Slot& s = rows_[std::size_t(index)];
  s.row.end = end;
  s.silentLooks = 0;
  setState(index, autoStart_ ? State::TakeAway : State::Ended);
}

void StationSlots::runFinished(int index) {
  Slot& s = rows_[std::size_t(index)];
  s.run.reset();  // its thread has finished: no wait
  if (s.startWanted) launch(index);
  else emit rowChanged(index);
}

void StationSlots::stopAll() {
  for (int i = 0; i < count(); ++i) {
    Slot& s = rows_[std::size_t(i)];
    s.startWanted = false;
    if (!s.run) continue;
    s.run->requestStop();
    setState(i, State::Stopping);
  }
}

void StationSlots::setAutoStart(bool on) {
  if (on == autoStart_) return;
  autoStart_ = on;
  for (int i = 0; i < count(); ++i) {
    Slot& s = rows_[std::size_t(i)];
    if (s.run) continue;
    s.silentLooks = 0;
    // A unit still on the fixture when auto-start is switched on has had its
    // run if the row shows one: it must be taken away first.
    if (on) setState(i, s.row.end ? State::TakeAway : State::Looking);
    else setState(i, s.row.end ? State::Ended : State::Idle);
  }
  if (on) {
    lookTimer_.start();
    lookAround();
  } else {
    lookTimer_.stop();
  }
}

void StationSlots::lookAround() {
  for (int i = 0; i < count(); ++i) {
    Slot& s = rows_[std::size_t(i)];
    if (s.run || s.look || (s.row.state != State::Looking && s.row.state != State::TakeAway)) continue;
    CalvSlot::Setup setup = setupFor(s);
    setup.timing.reply = std::min(setup.timing.reply, settings_.probeReply);
    s.look = std::make_unique<Look>(std::move(setup));
    connect(s.look.get(), &QThread::finished, this, [this, i] { lookEnded(i); });
    s.look->start();
  }
}

void StationSlots::lookEnded(int index) {
  Slot& s = rows_[std::size_t(index)];
  const bool answered = s.look->found != DeviceKindFound::Unknown;
  s.look.reset();
  if (s.startWanted) {
    launch(index);
    return;
  }
  if (!autoStart_) return;
  if (s.row.state == State::Looking && answered) {
    launch(index);
  } else if (s.row.state == State::TakeAway) {
    s.silentLooks = answered ? 0 : s.silentLooks + 1;
    if (s.silentLooks >= kSilentLooksForGone) setState(index, State::Looking);
  }
}
