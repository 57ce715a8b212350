#pragma once

#include <QMutex>
#include <QString>
#include <QThread>

#include <cstdint>
#include <functional>
#include <optional>

#include <production/Production.h>
#include <programming/ProgramModule.h>
#include <serial/LineSpeed.h>
#include <serial/PortChoice.h>
#include <serial/Timing.h>

class QObject;

// One unit of several at once: its own run session on a thread of its own,
// from the port check to the record, so that a slot that fails ends alone.
// What it does reaches a listener, called on the slot's thread.
class CalvSlot : public QThread {
 public:
  struct Setup {
    PortChoice port;
    LineSpeed speed;  // when the port has none of its own
    QString address = QStringLiteral("1");
    QString file;
    QString folder;  // holds setup.ini
    Timing timing;
    // A command-line run: its records as resolved and its stop status;
    // without, the records are setup.ini's, as "Start" in a window keeps them.
    std::optional<ProductionConfig> production;
    std::function<int()> stopStatus;
  };

  // How the slot ended.
  struct End {
    int status = 0;       // the exit status a command line gives it
    QString outcome;      // the status line's last text, or why nothing was sent
    std::optional<std::uint32_t> serial;  // the serial number the fixture accepted
    double seconds = 0;   // from the start of the slot's thread
    bool passed = false;  // "Done with succes" and nothing that fails the module
  };

  // Called on the slot's thread: an implementation shared with other threads
  // takes its own lock or queues to its own.
  class Listener {
   public:
    virtual ~Listener() = default;
    // Before the port check: the device the slot opens.
    virtual void opening(const QString& device) { (void)device; }
    // Every status text of the sequence, as it sets it (empty ones too).
    virtual void phase(const QString& text) { (void)text; }
    virtual void bytes(qint64 done, qint64 total) { (void)done, (void)total; }
    virtual void block(int block, int moduleCrc, int pcCrc) { (void)block, (void)moduleCrc, (void)pcCrc; }
    // The slot's words for the operator (production, a port failure, why the
    // module must not pass); the listener names the slot.
    virtual void said(const QString& text) { (void)text; }
    // The link's own lines, which name their port already.
    virtual void linkLine(const QString& line) { (void)line; }
    // Last: the record is kept.
    virtual void ended(const End& end) { (void)end; }
  };

  CalvSlot(Setup setup, Listener& listener, QObject* parent = nullptr);
  ~CalvSlot() override;

  // From any thread: the pass ends after the command in flight, through the
  // slot's own event loop; asked before the pass begins, it never sends.
  void requestStop();
  bool stopRequested() const;
  // Valid after the thread finished.
  int status() const { return status_; }

 protected:
  void run() override;

 private:
  Setup setup_;
  Listener& listener_;
  mutable QMutex mutex_;
  bool stopAsked_ = false;
  QObject* link_ = nullptr;           // the slot's link while it runs, on the slot's thread
  ProgramModule* program_ = nullptr;
  int status_ = 1;  // a fault until the run says otherwise
};

// Whether a unit answers the status query on a line, with a reply wait of
// its own: an idle slot of a station looks with this before it starts by
// itself. Runs on the caller's thread and yields to its event loop while it
// waits; never longer than the reply wait.
DeviceKindFound probeUnit(const CalvSlot::Setup& setup);
