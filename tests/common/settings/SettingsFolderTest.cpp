#include <SettingsFolder.h>

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
  const struct {
    const char* program;
    QString xdg;
    QString expected;
  } rows[] = {
      {"calvboot", "/x/cfg/", "/x/cfg/calvboot"},
      {"romlift", "", home + "/.config/romlift"},
      {"calvboot", "relative/cfg", home + "/.config/calvboot"},  // not absolute: ignored
  };
  for (const auto& row : rows)
    EXPECT_EQ(SettingsFolder::choose(row.program, bin, row.xdg, home), row.expected) << row.xdg.toStdString();
}
