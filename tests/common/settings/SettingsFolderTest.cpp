#include <settings/SettingsFolder.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Only a copy the install step marked keeps its settings per user; any other
// copy keeps them beside itself.
TEST(SettingsFolder, OnlyAMarkedCopyMovesItsSettingsToTheUsersConfigFolder) {
  QTemporaryDir prefix;
  const QString bin = prefix.filePath("bin"), home = prefix.filePath("home");
  const QString marker = QDir(bin).filePath(SettingsFolder::installedMarker());
  ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(QFileInfo(marker).path()));
  EXPECT_EQ(SettingsFolder::choose("calvboot", bin, "/x/cfg", home), bin);

  ASSERT_TRUE(QFile(marker).open(QIODevice::WriteOnly));
  EXPECT_EQ(SettingsFolder::choose("calvboot", bin, "/x/cfg/", home), "/x/cfg/calvboot");
  EXPECT_EQ(SettingsFolder::choose("romlift", bin, "", home), home + "/.config/romlift");
  // A relative XDG_CONFIG_HOME is ignored.
  EXPECT_EQ(SettingsFolder::choose("calvboot", bin, "relative/cfg", home), home + "/.config/calvboot");
}
