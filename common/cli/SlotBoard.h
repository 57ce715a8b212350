#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "CommandLine.h"

namespace cli {

class CommandRun;

// What the board shows of one slot; written by the slot's thread, read by
// the main thread under the board's lock.
struct SlotState {
  using Clock = std::chrono::steady_clock;

  QString name;     // COM3, or the device given
  QString device;   // what it opens
  QString adapter;  // who the adapter is, in short; empty for a pseudo-terminal
  QString phase = QStringLiteral("waiting");
  QString step;  // where the phase has got to, e.g. the last block checked
  qint64 done = 0, total = 0;
  std::optional<Clock::time_point> passStart;
  Clock::time_point started = Clock::now();
  bool ended = false;
  int status = 0;
  QString outcome;
  QString serial = QStringLiteral("-");  // the serial number the slot wrote
  double seconds = 0;
};

// Several units at once, as both programs show them: one line per slot (kept
// current on a terminal, otherwise a plain line for each change of phase and
// each quarter of the work), and a table at the end.
// The slots' threads only change the states and queue their lines; the
// board's output is written on the main thread (show()), so that a slow
// reader of it never holds up a slot between its lines.
class SlotBoard {
 public:
  // unit: what done/total count ("bytes", "lines"); a rate is shown for bytes.
  // quiet: standard output carries something else (events); nothing is shown.
  SlotBoard(const QStringList& names, QString unit, bool quiet);
  ~SlotBoard();
  SlotBoard(const SlotBoard&) = delete;
  SlotBoard& operator=(const SlotBoard&) = delete;

  // The device slot i opens, and its adapter's identity as the system tells it.
  void setDevice(std::size_t i, const QString& device);

  template <typename Change>
  void update(std::size_t i, Change change) {
    QMutexLocker lock(&mutex_);
    SlotState& s = states_[i];
    const QString phase = s.phase, step = s.step;
    const int quarter = quarterOf(s);
    change(s);
    if (terminal_ || quiet_) return;  // redrawn by the timer, or not shown
    if (s.phase != phase || (!s.ended && (s.step != step || quarterOf(s) != quarter)))
      pending_.push_back({false, (s.name + QStringLiteral(": ") + describe(s)).toLocal8Bit()});
  }
  // Whether the board is drawn in place on a terminal.
  bool onTerminal() const { return terminal_; }
  // A line for standard error while the board is drawn on a terminal, shown
  // at the next show(): the board steps aside for it (cleared, the line,
  // drawn again below it), so that it neither shifts the board nor is
  // overwritten by the next redraw.
  void message(const QString& line);
  // A line for standard output as it is (an event in UTF-8), written at the
  // next show() by the main thread, so that the slots never wait for the
  // reader or write the stream themselves.
  void output(const QByteArray& line);
  // Main thread: the queued lines, and on a terminal every slot's line
  // rewritten in place.
  void show();
  std::vector<SlotState> snapshot();

  // Slot, Outcome, Exit, Serial (and Adapter when any slot has one), Time.
  void printTable();
  // 0 when every slot passed, else the status of the first slot that did not.
  int exitStatus();

 private:
  static int quarterOf(const SlotState& s) { return s.total > 0 ? int(s.done * 4 / s.total) : 0; }
  QString describe(const SlotState& s) const;

  struct Pending {
    bool error;  // standard error, else standard output
    QByteArray line;
  };

  QMutex mutex_;
  std::vector<SlotState> states_;
  std::vector<Pending> pending_;
  QString unit_;
  bool quiet_;
  bool terminal_;
  bool drawn_ = false;
};

// Starts every slot's thread, calls stopAll on the main thread at a stop
// request (Ctrl+C, SIGTERM, SIGHUP; a slot whose thread has not yet made its
// session must keep the request until then), keeps the board drawn while
// they run, waits for all of them, and prints the table. Returns the board's
// exit status.
int runSlots(CommandRun& run, SlotBoard& board, const std::vector<QThread*>& threads,
             const std::function<void()>& stopAll, bool table);

// Each slot's name: COM3, or the device given.
QStringList slotNames(const std::vector<PortChoice>& ports);

// A short name for an adapter on a slot's line and in the table: its serial
// number, else its USB ids, else its driver; empty when the system knows
// nothing of it (a pseudo-terminal).
QString adapterLabel(const QString& device);

}  // namespace cli
