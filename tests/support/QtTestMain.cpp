#include <QApplication>

#include <gtest/gtest.h>

// Window tests run without a display on Qt's offscreen platform unless the
// caller chose another (xvfb-run sets DISPLAY and QT_QPA_PLATFORM=xcb).
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
