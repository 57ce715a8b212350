#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>

#include "SerialTestSupport.h"

namespace {

using ComFormWindow = SerialFormTest;

TEST_F(ComFormWindow, ControlsAtLoad) {
  ComForm& com = makeForm(ComForm::Host::Romlift);
  // Twips from the form layout, 15 to a pixel.
  const struct {
    const char* name;
    const char* caption;
    QRect pixels;
  } controls[] = {
      {"Label1", "Tx", {8, 16, 25, 17}},           {"Text1", "", {40, 8, 513, 25}},
      {"Label2", "Rx", {8, 48, 25, 17}},           {"Text2", "", {40, 40, 513, 25}},
      {"Label3", "Log to File", {560, 16, 57, 17}}, {"ChkLog", "", {568, 40, 17, 17}},
  };
  for (const auto& c : controls) {
    auto* w = com.findChild<QWidget*>(QLatin1String(c.name));
    ASSERT_NE(w, nullptr) << c.name;
    EXPECT_EQ(w->geometry(), c.pixels) << c.name;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      EXPECT_EQ(label->text(), QLatin1String(c.caption));
    }
    if (auto* box = qobject_cast<QLineEdit*>(w)) {
      EXPECT_EQ(box->text(), QString());
    }
    if (auto* check = qobject_cast<QCheckBox*>(w)) {
      EXPECT_EQ(check->text(), QString());
      EXPECT_FALSE(check->isChecked());
    }
  }
  EXPECT_FALSE(com.LogOn);
  EXPECT_FALSE(com.RomliftActive);
  EXPECT_EQ(com.LogFileName, dir.path() + QStringLiteral("/Log.txt"));
  EXPECT_TRUE(com.ReplyBuffer.isEmpty());
  EXPECT_FALSE(com.isVisible());
}

TEST_F(ComFormWindow, VisibilityShowsAtTopLeftOrHides) {
  ComForm& com = makeForm(ComForm::Host::Calvboot);
  com.SetVisibility(true);
  EXPECT_TRUE(com.isVisible());
  EXPECT_EQ(com.pos(), QPoint(0, 0));
  com.SetVisibility(false);
  EXPECT_FALSE(com.isVisible());
}

TEST_F(ComFormWindow, PortFailureBoxHasTheProgramTitleAndOneOkButton) {
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Box Title"));
  writePortsIni(dir.path(), 5, path(QStringLiteral("no-such-tty")));
  ComForm com(ComForm::Host::Calvboot, dir.path());  // default message seam

  QString title, text;
  int buttons = -1;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    title = box->windowTitle();
    text = box->text();
    buttons = int(box->buttons().size());
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
  });
  poll.start(5);
  EXPECT_FALSE(com.SetupMScomm(5, 0));  // returns once the box is closed
  poll.stop();
  EXPECT_EQ(title, QStringLiteral("Box Title"));
  EXPECT_EQ(text, QStringLiteral("Comm Port not available!"));
  EXPECT_EQ(buttons, 1);
}

}  // namespace
