#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "SerialTestSupport.h"

namespace {

using ComFormWindow = SerialFormTest;

// Then a port failure raises the real message box: the program's title, one OK button.
TEST_F(ComFormWindow, ControlsAtLoadVisibilityAndThePortFailureBox) {
  SerialLink link(ruleFor(Rule::Uploader), dir.path());
  ComForm com(link, QStringLiteral("ComForm"));
  // Twips from the form layout, 15 to a pixel; the text boxes and the box start empty.
  const struct {
    const char* name;
    const char* text;
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
    EXPECT_EQ(w->property("text").toString(), QLatin1String(c.text)) << c.name;
  }
  EXPECT_FALSE(com.ChkLog->isChecked() || link.LogOn || com.isVisible());
  EXPECT_EQ(link.LogFileName, path("Log.txt"));

  com.SetVisibility(true);
  EXPECT_TRUE(com.isVisible());
  EXPECT_EQ(com.pos(), QPoint(0, 0));
  com.SetVisibility(false);
  EXPECT_FALSE(com.isVisible());

  QGuiApplication::setApplicationDisplayName(QStringLiteral("Box Title"));
  writePortsIni(dir.path(), 5, path("no-such-tty"));
  QString seen;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen = box->windowTitle() + u'|' + box->text() + u'|' + QString::number(box->buttons().size());
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
  });
  poll.start(5);
  EXPECT_FALSE(link.SetupMScomm(5, 0));  // returns once the box is closed
  EXPECT_EQ(seen, QStringLiteral("Box Title|Comm Port not available!|1"));
}

}  // namespace
