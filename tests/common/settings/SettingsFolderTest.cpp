#include <settings/SettingsFolder.h>

#include <platform/StationFolder.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>

// Only a copy the install step marked keeps its settings per user, below
// XDG_CONFIG_HOME (an absolute one) or ~/.config; any other copy keeps them
// beside itself.
TEST(SettingsFolder, OnlyAMarkedCopyMovesItsSettingsToTheUsersConfigFolder) {
  QTemporaryDir prefix;
  const QString bin = prefix.filePath("bin"), home = prefix.filePath("home");
  const QString marker = QDir(bin).filePath(SettingsFolder::installedMarker());
  ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(QFileInfo(marker).path()));
  const QByteArray was[] = {qgetenv("XDG_CONFIG_HOME"), qgetenv("HOME")};
  qputenv("HOME", QFile::encodeName(home));
  const auto chosen = [&](const char* program, const QByteArray& xdgConfigHome) {
    qputenv("XDG_CONFIG_HOME", xdgConfigHome);
    return SettingsFolder::choose(program, bin, platform::station::userSettingsBase());
  };
  EXPECT_EQ(chosen("calvboot", "/x/cfg"), bin);

  ASSERT_TRUE(QFile(marker).open(QIODevice::WriteOnly));
  EXPECT_EQ(chosen("calvboot", "/x/cfg/"), "/x/cfg/calvboot");
  EXPECT_EQ(chosen("romlift", ""), home + "/.config/romlift");
  // A relative XDG_CONFIG_HOME is ignored.
  EXPECT_EQ(chosen("calvboot", "relative/cfg"), home + "/.config/calvboot");
  for (const auto& [name, value] : {std::pair{"XDG_CONFIG_HOME", was[0]}, std::pair{"HOME", was[1]}})
    value.isNull() ? qunsetenv(name) : qputenv(name, value);
}
