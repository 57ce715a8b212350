#include "UploadGang.h"

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <optional>

#include <cli/CommandRun.h>
#include <cli/Console.h>
#include <cli/RunEvents.h>
#include <cli/SlotBoard.h>
#include <serial/SerialLink.h>

#include "RomliftSession.h"
#include "UploadEvents.h"

namespace UploadGang {
namespace {

using cli::SlotBoard;
using cli::SlotState;

// The dialogue's log as the slot's line: its latest text is the phase, each
// sent line's mark one line done.
class SlotView : public UploadView {
 public:
  SlotView(SlotBoard& board, std::size_t index, int totalLines) : board_(board), index_(index), total_(totalLines) {}
  void setLogText(const QString& text) override { appendLogText(text); }
  void appendLogText(const QString& text) override {
    if (text == QStringLiteral(" .")) {
      board_.update(index_, [&](SlotState& s) {
        if (!s.passStart) s.passStart = SlotState::Clock::now();
        s.done = ++sent_;
        s.total = total_;
      });
      return;
    }
    // "Port closed" follows every end; the end itself is the phase worth showing.
    QStringList parts = QString(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("Port closed"));
    if (!parts.isEmpty()) board_.update(index_, [&](SlotState& s) { s.phase = parts.last().trimmed(); });
  }
  void repaintLog() override {}
  void setPortCaption(const QString&) override {}
  void setUploadEnabled(bool) override {}

 private:
  SlotBoard& board_;
  std::size_t index_;
  int total_;
  int sent_ = 0;
};

// One slot: its own session, link and pace on its own thread, from opening
// the port to the record. A stop reaches the dialogue through the slot's
// event loop, where a single run's stop reaches it: in the wait for the boot
// loader at once, in the upload before its next line.
class Slot : public QThread {
 public:
  Slot(std::size_t index, QString name, const cli::PortChoice& port, const QString& file,
       const UploadSteps::Choices& choices, SlotBoard& board, QMutex& endLock, const QString& folder,
       int totalLines, std::function<int()> stopStatus, cli::RunEvents* events)
      : index_(index),
        name_(std::move(name)),
        port_(port),
        file_(file),
        choices_(choices),
        board_(board),
        endLock_(endLock),
        folder_(folder),
        totalLines_(totalLines),
        stopStatusOf_(std::move(stopStatus)),
        events_(events) {}

  // Kept until the slot has made its session.
  void requestStop() {
    QMutexLocker lock(&mutex_);
    stopAsked_ = true;
    stopStatus_ = stopStatusOf_();
    if (session_) deliverStop();
  }

 protected:
  void run() override {
    const MessageSink say = [name = name_](const QString& text) {
      cli::Console::error(QStringLiteral("romlift: %1: %2").arg(name, text));
    };
    RomliftSession session(RomliftSession::Start::CommandLine, folder_, say);
    // The link's lines name their port already.
    session.link().setMessageSink([](const QString& line) { cli::Console::error(line); });
    session.link().setPortMessage(
        [name = name_](const QString& text) { cli::Console::box(QStringLiteral("Romlift"), name + QStringLiteral(": ") + text); });
    session.setRecordMessages(say);
    session.setEndLock(&endLock_);
    UploadSteps::prepare(session, port_, choices_);
    session.link().MSComm1().bindAdapter(port_.adapterSerial, QStringLiteral("--devices"));
    board_.setDevice(index_, session.device());
    SlotView view(board_, index_, totalLines_);
    const cli::RunEvents::Slot eventSlot = cli::RunEvents::slotFor(
        port_.device.isEmpty() ? std::optional<int>(session.comPort()) : std::nullopt, session.device());
    std::optional<UploadEventView> eventView;
    if (events_) {
      eventView.emplace(*events_, eventSlot, totalLines_);
      events_->start(eventSlot, file_);
      session.dialogue().setView(&*eventView);
    } else {
      session.dialogue().setView(&view);
    }

    UploadSteps::Outcome outcome;
    // Checked once for all slots already; each session keeps its own check.
    if (session.load(file_) && session.fileCheck().FileValid) {
      {
        QMutexLocker lock(&mutex_);
        session_ = &session;
        if (stopAsked_) deliverStop();
      }
      outcome = UploadSteps::run(session, choices_.waitBoot, say);
      QMutexLocker lock(&mutex_);
      session_ = nullptr;
    } else {
      say(QStringLiteral("cannot read %1").arg(file_));
      outcome.finalLine = SrecordCheck::kNotValidVerdict;
    }
    const int status = session.fileCheck().FileValid ? session.exitStatus(outcome.end) : RomliftSession::kExitNotValid;
    const QString text = UploadSteps::endText(session, outcome);
    double seconds = 0;
    board_.update(index_, [&](SlotState& s) {
      s.ended = true;
      s.status = status;
      s.outcome = text;
      s.phase = text;
      s.seconds = std::chrono::duration<double>(SlotState::Clock::now() - s.started).count();
      seconds = s.seconds;
    });
    // Outside the board's lock, which its output takes too.
    if (events_) events_->end(eventSlot, text, status, std::nullopt, seconds);
  }

 private:
  // Through the slot's event loop, always: served in the dialogue's next
  // yield, inside the wait or the upload that it is to end, never before the
  // port button clears the request.
  void deliverStop() {
    QMetaObject::invokeMethod(
        &session_->link(), [session = session_, status = stopStatus_] { session->requestStop(status); },
        Qt::QueuedConnection);
  }

  std::size_t index_;
  QString name_;
  cli::PortChoice port_;
  QString file_;
  UploadSteps::Choices choices_;
  SlotBoard& board_;
  QMutex& endLock_;
  QString folder_;
  int totalLines_;
  std::function<int()> stopStatusOf_;
  cli::RunEvents* events_;  // --json: the events instead of the slot's line
  QMutex mutex_;
  int stopStatus_ = 0;
  bool stopAsked_ = false;
  RomliftSession* session_ = nullptr;
};

}  // namespace

int run(cli::CommandRun& run, const QString& file, const std::vector<cli::PortChoice>& ports,
        const UploadSteps::Choices& choices, bool json) {
  const QStringList names = cli::slotNames(ports);
  SlotBoard board(names, QStringLiteral("lines"), json);
  // Written by the main thread with the board's other output.
  cli::RunEvents events([&board](const QByteArray& line) { board.output(line); });
  const int totalLines = UploadSteps::lineCount(file);
  QMutex endLock;
  std::vector<std::unique_ptr<Slot>> units;
  std::vector<QThread*> threads;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    units.push_back(std::make_unique<Slot>(i, names[int(i)], ports[i], file, choices, board, endLock, run.folder(),
                                           totalLines, [&run] { return run.stopStatus(); },
                                           json ? &events : nullptr));
    threads.push_back(units.back().get());
  }
  return cli::runSlots(run, board, threads, [&units] {
    for (const auto& slot : units) slot->requestStop();
  }, !json);
}

}  // namespace UploadGang
