#include "CalvSlot.h"

#include <QMetaObject>
#include <QMutexLocker>

#include <protocol/ModuleCommands.h>
#include <serial/SerialLink.h>

#include "CalvSession.h"

#include <chrono>

namespace {

// The sequence's view for one slot: everything goes to the listener.
class ListenerView : public ProgramView {
 public:
  explicit ListenerView(CalvSlot::Listener& listener) : listener_(listener) {}
  void setStatusText(const QString& text) override { listener_.phase(text); }
  void setProgress(float) override {}
  void bytesSent(qint64 done, qint64 total) override { listener_.bytes(done, total); }
  void blockChecked(int block, int moduleCrc, int pcCrc) override { listener_.block(block, moduleCrc, pcCrc); }

 private:
  CalvSlot::Listener& listener_;
};

void applyLine(CalvSession& session, const CalvSlot::Setup& setup) {
  ModuleCommands& commands = session.commands();
  commands.ComPort = setup.port.comPort != 0 ? setup.port.comPort : 1;
  commands.ComSpeed = setup.port.speed.value_or(setup.speed).code();
  commands.DevAdr = setup.address;
  session.setDevice(setup.port.device);
  session.link().MSComm1().bindAdapter(setup.port.adapterSerial, QStringLiteral("--devices"));
}

}  // namespace

CalvSlot::CalvSlot(Setup setup, Listener& listener, QObject* parent)
    : QThread(parent), setup_(std::move(setup)), listener_(listener) {}

CalvSlot::~CalvSlot() {
  requestStop();
  wait();
}

void CalvSlot::requestStop() {
  QMutexLocker lock(&mutex_);
  stopAsked_ = true;
  if (link_) QMetaObject::invokeMethod(link_, [program = program_] { program->StopRequest = true; });
}

bool CalvSlot::stopRequested() const {
  QMutexLocker lock(&mutex_);
  return stopAsked_;
}

void CalvSlot::run() {
  const auto started = std::chrono::steady_clock::now();
  const auto say = [this](const QString& text) { listener_.said(text); };
  CalvSession session(setup_.folder, setup_.timing);
  SerialLink& com = session.link();
  ProgramModule& program = session.program();
  com.setMessageSink([this](const QString& line) { listener_.linkLine(line); });
  program.setMessageSink(say);
  if (setup_.production) session.setCommandLineRun(*setup_.production, setup_.stopStatus);
  applyLine(session, setup_);
  listener_.opening(session.device());
  session.stopOnPortFailure(say);
  {
    QMutexLocker lock(&mutex_);
    link_ = &com;
    program_ = &program;
    if (stopAsked_) program.StopRequest = true;
  }
  const auto anyPhase = [&](CalvSession::Phase, const QString& text) { say(text); };
  ListenerView view(listener_);
  std::optional<ProgramResult> result;
  com.clearPortFailure();
  if (!com.SetupMScomm(session.commands().ComPort, session.commands().ComSpeed)) {
    status_ = session.portNotOpened(setup_.file, anyPhase);
  } else {
    com.CloseMScomm();
    result = session.run(setup_.file, view, anyPhase);
    com.CloseMScomm();
    status_ = result ? session.exitStatus(*result) : CalvExit::kDatabase;
  }
  {
    QMutexLocker lock(&mutex_);
    link_ = nullptr;
    program_ = nullptr;
  }
  if (result)
    for (const QString& reason : CalvSession::notPassedReasons(*result, status_)) say(reason);
  End end;
  end.status = status_;
  end.outcome = result ? result->status
                       : status_ == CalvExit::kDatabase ? QStringLiteral("database not reached")
                                                        : QStringLiteral("port not opened");
  if (result) end.serial = result->serialWritten;
  end.passed = result && result->passed() && status_ == CalvExit::kOk;
  end.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  listener_.ended(end);
}

DeviceKindFound probeUnit(const CalvSlot::Setup& setup) {
  CalvSession session(setup.folder, setup.timing);
  SerialLink& com = session.link();
  // A look, not a run: a port that will not open only means nobody is there.
  com.setMessageSink([](const QString&) {});
  com.setPortMessage([](const QString&) {});
  applyLine(session, setup);
  const std::uint8_t kind = session.commands().ProbeDevice();
  com.CloseMScomm();
  return kind == ProgramModule::kFixture     ? DeviceKindFound::Fixture
         : kind == ProgramModule::kAmplifier ? DeviceKindFound::Amplifier
                                             : DeviceKindFound::Unknown;
}
