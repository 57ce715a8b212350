#include "SlotBoard.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>

#include <platform/Terminal.h>
#include <serial/AdapterIdentity.h>

#include "CommandRun.h"
#include "RateText.h"

namespace cli {

namespace {

// The board is drawn again, and queued lines written, this often.
constexpr int kRedrawMs = 250;

QString column(const QString& text, int width) { return text.leftJustified(width); }

}  // namespace

QStringList slotNames(const std::vector<PortChoice>& ports) {
  QStringList names;
  for (const PortChoice& port : ports)
    names << port.name();
  return names;
}

QString adapterLabel(const QString& device) {
  const QString tty = AdapterIdentity::ttyName(device);
  if (tty.isEmpty()) return {};
  const AdapterIdentity adapter = AdapterIdentity::of(tty);
  if (!adapter.serial.isEmpty()) return adapter.serial;
  if (!adapter.vendorId.isEmpty()) return QStringLiteral("USB %1:%2").arg(adapter.vendorId, adapter.productId);
  return adapter.driver;
}

SlotBoard::SlotBoard(const QStringList& names, QString unit, bool quiet)
    : unit_(std::move(unit)), quiet_(quiet), terminal_(!quiet && platform::standardOutputIsTerminal()) {
  for (const QString& name : names) {
    SlotState s;
    s.name = name;
    states_.push_back(s);
  }
}

SlotBoard::~SlotBoard() = default;

void SlotBoard::setDevice(std::size_t i, const QString& device) {
  // The system is asked outside the lock: it reads files.
  const QString adapter = adapterLabel(device);
  update(i, [&](SlotState& s) {
    s.device = device;
    s.adapter = adapter;
  });
}

QString SlotBoard::describe(const SlotState& s) const {
  QString text = s.device.isEmpty() || s.device == s.name ? QString() : s.device + QStringLiteral("  ");
  if (!s.adapter.isEmpty()) text += QStringLiteral("[%1]  ").arg(s.adapter);
  text += s.phase;
  if (!s.step.isEmpty() && !s.ended) text += QStringLiteral(", ") + s.step;
  if (s.total > 0 && !s.ended) {
    text += QStringLiteral("  %1 / %2 %3 (%4 %)").arg(s.done).arg(s.total).arg(unit_).arg(s.done * 100 / s.total);
    if (s.passStart && s.done > 0 && s.done < s.total) {
      const double seconds = std::chrono::duration<double>(SlotState::Clock::now() - *s.passStart).count();
      if (seconds >= 1.0) {
        const QString left = duration(seconds * double(s.total - s.done) / double(s.done));
        if (unit_ == QStringLiteral("bytes"))
          text += QStringLiteral(", %1, %2 left").arg(kiloBytesPerSecond(s.done, seconds), left);
        else
          text += QStringLiteral(", %1 left").arg(left);
      }
    }
  }
  return text;
}

void SlotBoard::message(const QString& line) {
  QMutexLocker lock(&mutex_);
  pending_.push_back({true, line.toLocal8Bit()});
}

void SlotBoard::output(const QByteArray& line) {
  QMutexLocker lock(&mutex_);
  pending_.push_back({false, line});
}

void SlotBoard::show() {
  std::vector<Pending> lines;
  QString board;
  {
    QMutexLocker lock(&mutex_);
    lines.swap(pending_);
    if (terminal_)
      for (const SlotState& s : states_) board += QStringLiteral("\r\x1b[K") + s.name + QStringLiteral("  ") + describe(s) + u'\n';
  }
  const auto write = [](const Pending& p) {
    std::FILE* stream = p.error ? stderr : stdout;
    std::fprintf(stream, "%s\n", p.line.constData());
    std::fflush(stream);
  };
  if (!terminal_) {
    for (const Pending& p : lines) write(p);
    return;
  }
  const int rows = int(states_.size());
  if (drawn_ && !lines.empty()) {
    // Up to the board's first line and clear to the end of the screen: the
    // messages take the board's place and the board comes back below them.
    std::printf("\x1b[%dA\r\x1b[J", rows);
    std::fflush(stdout);
    drawn_ = false;
  }
  for (const Pending& p : lines) write(p);
  if (drawn_) board.prepend(QStringLiteral("\x1b[%1A").arg(rows));
  std::fputs(board.toLocal8Bit().constData(), stdout);
  std::fflush(stdout);
  drawn_ = true;
}

std::vector<SlotState> SlotBoard::snapshot() {
  QMutexLocker lock(&mutex_);
  return states_;
}

int SlotBoard::exitStatus() {
  QMutexLocker lock(&mutex_);
  for (const SlotState& s : states_)
    if (s.status != 0) return s.status;
  return 0;
}

void SlotBoard::printTable() {
  const std::vector<SlotState> ended = snapshot();
  int width = 4, adapterWidth = 0, outcomeWidth = 20;
  for (const SlotState& s : ended) {
    width = std::max(width, int(s.name.size()));
    // A long outcome widens its column rather than running into the status.
    outcomeWidth = std::max(outcomeWidth, int(s.outcome.size()) + 2);
    if (!s.adapter.isEmpty()) adapterWidth = std::max({adapterWidth, int(s.adapter.size()), 7});
  }
  // The adapter only when some slot has one: pseudo-terminals and built-in
  // ports would leave a column of dashes.
  const auto adapter = [&](const QString& text) { return adapterWidth > 0 ? column(text, adapterWidth + 2) : QString(); };
  std::printf("%s\n", qPrintable(column(QStringLiteral("Slot"), width + 2) + column(QStringLiteral("Outcome"), outcomeWidth) +
                                 column(QStringLiteral("Exit"), 6) + column(QStringLiteral("Serial"), 10) +
                                 adapter(QStringLiteral("Adapter")) + QStringLiteral("Time")));
  for (const SlotState& s : ended) {
    std::printf("%s\n", qPrintable(column(s.name, width + 2) + column(s.outcome, outcomeWidth) +
                                   column(QString::number(s.status), 6) + column(s.serial, 10) +
                                   adapter(s.adapter.isEmpty() ? QStringLiteral("-") : s.adapter) +
                                   QStringLiteral("%1 s").arg(s.seconds, 0, 'f', 1)));
  }
  std::fflush(stdout);
}

int runSlots(CommandRun& run, SlotBoard& board, const std::vector<QThread*>& threads,
             const std::function<void()>& stopAll, bool table) {
  // On a terminal the slots' messages step around the board; elsewhere they
  // go to standard error as they are.
  std::optional<Console::ErrorRoute> route;
  if (board.onTerminal()) route.emplace([&board](const QString& line) { board.message(line); });
  run.onStop(stopAll);

  int running = int(threads.size());
  std::vector<QMetaObject::Connection> ends;
  for (QThread* unit : threads) {
    ends.push_back(QObject::connect(unit, &QThread::finished, QCoreApplication::instance(), [&running] {
      if (--running == 0) QCoreApplication::quit();
    }));
    unit->start();
  }
  QTimer redraw;
  QObject::connect(&redraw, &QTimer::timeout, [&board] { board.show(); });
  redraw.start(kRedrawMs);
  board.show();
  if (running > 0) QCoreApplication::exec();
  for (QThread* unit : threads) unit->wait();
  for (const auto& end : ends) QObject::disconnect(end);
  redraw.stop();
  board.show();
  if (table) board.printTable();
  return board.exitStatus();
}

}  // namespace cli
