#include <SettingsFolder.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// An installed copy (marked by the install step) keeps its settings per user;
// any other copy keeps them beside itself.
TEST(SettingsFolder, OnlyAMarkedCopyMovesItsSettingsToTheUsersConfigFolder) {
  QTemporaryDir prefix;
  const QString bin = prefix.filePath("bin");
  const QString marker = QDir(bin).filePath(SettingsFolder::installedMarker());
  ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(QFileInfo(marker).path()));
  const QString home = prefix.filePath("home");

  EXPECT_EQ(SettingsFolder::choose("calvboot", bin, "/x/cfg", home), bin);  // not marked yet

  QFile mark(marker);
  ASSERT_TRUE(mark.open(QIODevice::WriteOnly));
  mark.close();
  const struct {
    QString xdg;
    QString expected;
  } rows[] = {
      {"/x/cfg", "/x/cfg/calvboot"},
      {"/x/cfg/", "/x/cfg/calvboot"},
      {"", home + "/.config/calvboot"},
      {"relative/cfg", home + "/.config/calvboot"},  // not absolute: ignored
  };
  for (const auto& row : rows)
    EXPECT_EQ(SettingsFolder::choose("calvboot", bin, row.xdg, home), row.expected) << row.xdg.toStdString();
  EXPECT_EQ(SettingsFolder::choose("romlift", bin + "/", "", home), home + "/.config/romlift");
}
