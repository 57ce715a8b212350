#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <chrono>
#include <functional>

class QAction;

// Test bench: a pseudo-terminal pair in raw mode. The program under test
// opens the slave side as its serial port; the test plays the far end on the
// master side. A slave descriptor stays open here so the line survives the
// program closing and reopening its port.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool isOpen() const { return master_ >= 0; }
  QString slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  // The speed the program set on its side of the line (a termios B constant).
  unsigned lineSpeed() const;

  // Writes all bytes to the far end's side (they arrive at the slave).
  bool write(const QByteArray& bytes);
  // Reads until count bytes arrived or timeout passed, serving Qt events
  // meanwhile so the program under test can run.
  QByteArray read(int count, std::chrono::milliseconds timeout);
  // Reads until nothing new arrived for quiet, or timeout passed.
  QByteArray readUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout);

 private:
  int master_ = -1;
  int slaveKeeper_ = -1;
  QString slavePath_;
};

// Serves Qt events until pred() holds or timeout passes; returns pred().
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// Writes dir/setup.ini with section "Ports" mapping COM<comNumber> to
// devicePath (an existing setup.ini keeps its other lines). Returns its path.
QString writePortsIni(const QString& dir, int comNumber, const QString& devicePath);

// A file's bytes; empty when it cannot be read.
QByteArray fileBytes(const QString& path);
// Writes a file whole, replacing what it held; false when it cannot.
bool writeFile(const QString& path, const QByteArray& content);

// Object names of the checked menu items.
QStringList checkedItems(const QList<QAction*>& items);

// Serves Qt events for span, sleeping while none is pending.
void idleFor(std::chrono::milliseconds span);

// The echo-relevant settings of a line (input, output and local modes), read
// through a descriptor of the test's own; cookLine first puts the line in
// the terminal's default mode (canonical, echoing) and returns what it set.
struct LineModes {
  unsigned iflag = 0, oflag = 0, lflag = 0;
  bool operator==(const LineModes&) const = default;
  bool echoes() const;
};
LineModes lineModes(const QString& device);
LineModes cookLine(const QString& device);
