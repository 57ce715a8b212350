#include "ComForm.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

namespace {

// Window geometry is given in twips; 15 twips make one pixel.
constexpr int kTwipsPerPixel = 15;
QRect twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// Far beyond any screen (70000 twips), where the window waits until shown.
constexpr int kOffScreen = 70000 / kTwipsPerPixel;

void showModalMessage(QWidget* owner, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, owner);
  box.exec();
}

}  // namespace

ComForm::ComForm(SerialLink& link, const QString& caption, QWidget* owner)
    : QWidget(owner, Qt::Window), link_(link) {
  setObjectName(QStringLiteral("ComForm"));
  setWindowTitle(caption);
  setFixedSize(9495 / kTwipsPerPixel, 1410 / kTwipsPerPixel);

  auto label = [this](const char* name, const QString& caption, QRect where) {
    auto* l = new QLabel(caption, this);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(where);
    return l;
  };
  auto textBox = [this](const char* name, QRect where) {
    auto* t = new QLineEdit(this);
    t->setObjectName(QLatin1String(name));
    t->setReadOnly(true);
    t->setGeometry(where);
    return t;
  };
  Label1 = label("Label1", QStringLiteral("Tx"), twips(120, 240, 375, 255));
  Text1 = textBox("Text1", twips(600, 120, 7695, 375));
  Label2 = label("Label2", QStringLiteral("Rx"), twips(120, 720, 375, 255));
  Text2 = textBox("Text2", twips(600, 600, 7695, 375));
  Label3 = label("Label3", QStringLiteral("Log to File"), twips(8400, 240, 855, 255));
  ChkLog = new QCheckBox(this);
  ChkLog->setObjectName(QStringLiteral("ChkLog"));
  ChkLog->setGeometry(twips(8520, 600, 255, 255));
  connect(ChkLog, &QCheckBox::toggled, this, [this] { ChkLog_Click(); });

  connect(&link_, &SerialLink::txText, Text1, &QLineEdit::setText);
  connect(&link_, &SerialLink::rxText, Text2, &QLineEdit::setText);
  link_.setPortMessage([this](const QString& text) { showModalMessage(parentWidget(), text); });

  // Load state: out of sight until the program shows it, empty lines, no log.
  move(kOffScreen, kOffScreen);
  Text1->clear();
  Text2->clear();
}

ComForm::~ComForm() {
  link_.setPortMessage({});  // the box's owner goes with the window
}

void ComForm::SetVisibility(bool Level) {
  if (Level) {
    move(0, 0);
    show();
  } else {
    hide();
  }
}

void ComForm::ChkLog_Click() {
  if (!ChkLog->isChecked()) {
    link_.LogOn = false;
    return;
  }
  link_.startLog();
}

void ComForm::SetLogOn() {
  if (!ChkLog->isChecked()) ChkLog->setChecked(true);  // raises ChkLog_Click
}
