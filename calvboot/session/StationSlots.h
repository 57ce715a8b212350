#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <platform/MessageSink.h>
#include <serial/LineSpeed.h>
#include <serial/PortChoice.h>
#include <serial/Timing.h>

#include "CalvSlot.h"

// The station window's slots without the window: one row per port, each
// running its unit in a CalvSlot, a stop for all, and the fixture's
// auto-start: while it is on, an idle slot looks for a unit now and then,
// starts when one answers, and after the run waits until the unit has been
// taken away before it starts again. Lives on the main thread; the slots'
// news reach it queued.
class StationSlots : public QObject {
  Q_OBJECT
 public:
  using Port = PortChoice;  // a speed of its own, else the station's

  struct Settings {
    QString folder;  // holds setup.ini
    QString file;
    QString address = QStringLiteral("1");
    LineSpeed speed;
    Timing timing;  // the runs'
    // The auto-start's look: how often, and how long it waits for an answer.
    std::chrono::milliseconds probeEvery = std::chrono::seconds{1};
    std::chrono::milliseconds probeReply = std::chrono::milliseconds{500};
    // The slots' words for the operator, each naming its slot; called on the
    // slots' threads.
    MessageSink messages;
  };

  enum class State {
    Idle,
    Looking,   // auto-start: waits for a unit to answer
    Running,
    Stopping,  // ends after the command in flight
    Ended,
    TakeAway,  // auto-start: ran; waits until the unit no longer answers
  };

  struct Row {
    QString name;     // COM3, or the device given
    QString device;   // what it opens
    QString adapter;  // what the system knows of the adapter; empty for a pseudo-terminal
    State state = State::Idle;
    QString phase;    // the sequence's last status text
    qint64 done = 0, total = 0;
    std::optional<CalvSlot::End> end;  // of the last run
    std::chrono::steady_clock::time_point started{};
    int runs = 0;  // started since the station opened
  };

  StationSlots(Settings settings, const std::vector<Port>& ports, QObject* parent = nullptr);
  // Asks every running slot to stop and waits for each: at most the command
  // in flight and its record.
  ~StationSlots() override;

  // COM1..COM16 whose device is present (as --list-ports says it: free,
  // busy or not accessible), leaving out the system's console and names
  // without a device behind them.
  static std::vector<Port> presentPorts(const QString& iniPath);

  int count() const { return int(rows_.size()); }
  const Row& row(int index) const { return rows_.at(std::size_t(index)).row; }
  // The state's words on the screen.
  static QString stateText(const Row& row);

  void setFile(const QString& file) { settings_.file = file; }
  const QString& file() const { return settings_.file; }

  // A slot that is not running starts (once its look has ended).
  void start(int index);
  void startAll();
  // Every running slot ends after its command in flight, with its record.
  void stopAll();
  bool anyRunning() const;

  void setAutoStart(bool on);
  bool autoStart() const { return autoStart_; }

 signals:
  void rowChanged(int index);

 private:
  class Report;
  class Look;
  struct Slot {
    Row row;
    std::unique_ptr<Report> report;
    std::unique_ptr<CalvSlot> run;
    std::unique_ptr<Look> look;
    bool startWanted = false;  // asked while a look or an ended run held the port
    int silentLooks = 0;       // looks in a row without an answer since the run
  };

  CalvSlot::Setup setupFor(const Slot& slot) const;
  void launch(int index);
  void runOver(int index, const CalvSlot::End& end);  // the record is kept
  void runFinished(int index);                        // the port is free
  void lookAround();
  void lookEnded(int index);
  void setState(int index, State state);

  Settings settings_;
  std::vector<Slot> rows_;
  std::vector<Port> ports_;
  bool autoStart_ = false;
  QTimer lookTimer_;
};
