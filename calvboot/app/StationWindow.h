#pragma once

#include <QString>
#include <QWidget>

#include <vector>

#include <session/StationSlots.h>

class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// The gang station: one row per slot with its port, adapter, state,
// progress, result, serial number and time, a "Start" per slot, "Start all",
// "Stop all" and the fixture's auto-start. The logic is StationSlots'; the
// window only shows it. Every control's accessible name says which slot it
// belongs to ("COM3 progress").
class StationWindow : public QWidget {
  Q_OBJECT
 public:
  StationWindow(StationSlots::Settings settings, const std::vector<StationSlots::Port>& ports,
                QWidget* parent = nullptr);
  ~StationWindow() override;

  StationSlots& station() { return station_; }

 protected:
  // Running slots are stopped first; the window closes when the last ended.
  void closeEvent(QCloseEvent* event) override;

 private:
  struct RowControls {
    QLabel* port = nullptr;
    QLabel* adapter = nullptr;
    QLabel* state = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* result = nullptr;
    QLabel* serial = nullptr;
    QLabel* time = nullptr;
    QPushButton* start = nullptr;
  };

  void showRow(int index);
  void showButtons();
  void showTimes();

  StationSlots station_;
  QLineEdit* file_ = nullptr;
  std::vector<RowControls> rows_;
  QPushButton* startAll_ = nullptr;
  QPushButton* stopAll_ = nullptr;
  QCheckBox* autoStart_ = nullptr;
  QTimer* clock_ = nullptr;
  bool closing_ = false;
};
