#pragma once

#include <QDialog>
#include <QString>

#include "ProgramIdentity.h"

class QLabel;
class QPushButton;

// The about box: title, version "major.minor" with the revision appended
// without a separator (1.1.6 reads "Version 1.16"), and a short description.
class SerialAbout : public QDialog {
  Q_OBJECT
 public:
  using Identity = ProgramIdentity;

  explicit SerialAbout(const Identity& identity, QWidget* owner = nullptr);

  QLabel* lblTitle = nullptr;
  QLabel* lblVersion = nullptr;
  QLabel* lblDescription = nullptr;
  QLabel* lblLine1 = nullptr;
  QLabel* lblLine2 = nullptr;
  QPushButton* cmdOK = nullptr;

 private:
  void Form_Load(const Identity& identity);
};
