#include "SettingsFolder.h"

#include <QDir>
#include <QFileInfo>

#include <platform/Files.h>
#include <platform/StationFolder.h>

namespace {

// Whether this user can keep the settings in the station folder; when not,
// why (naming the folder and what to do about it).
bool usableStation(const QString& folder, QString& why) {
  platform::station::makeSharedFolder(folder);
  const QString ini = QDir(folder).filePath(QStringLiteral("setup.ini"));
  if (QFileInfo(ini).isSymLink()) {
    why = QStringLiteral("%1 is a symbolic link, which is never followed").arg(QDir::toNativeSeparators(ini));
    return false;
  }
  if (QFileInfo(folder).isDir() && platform::writableForUs(folder) &&
      (!QFileInfo::exists(ini) || platform::writableForUs(ini)))
    return true;
  why = QStringLiteral("cannot write to %1, the settings folder every user of the serial ports shares on this PC: %2")
            .arg(QDir::toNativeSeparators(folder), platform::station::accessHint(folder));
  return false;
}

}  // namespace

QString SettingsFolder::installedMarker() { return platform::station::installedMarker(); }

QString SettingsFolder::stationFolder() { return platform::station::sharedFolder(); }

bool SettingsFolder::isStationFolder(const QString& folder) {
  const QString station = QFileInfo(stationFolder()).canonicalFilePath();
  return !station.isEmpty() && QFileInfo(folder).canonicalFilePath() == station;
}

QString SettingsFolder::choose(const QString& program, const QString& programDir, const QString& userBase) {
  const QString marker = installedMarker();
  if (marker.isEmpty() || !QFileInfo::exists(QDir(programDir).filePath(marker))) return programDir;
  return QDir::cleanPath(QDir(userBase).filePath(program));
}

QString SettingsFolder::forProgram(const QString& program, const MessageSink& say) {
  const QString own = platform::station::programFolder();
  QString folder = choose(program, own, platform::station::userSettingsBase());
  if (folder == own) return folder;
  const auto tell = [&](const QString& text) {
    if (say) say(program + QStringLiteral(": ") + text);
  };
  const QString station = stationFolder();
  QString why;
  if (usableStation(station, why)) {
    // What we create there must stay readable and writable for the group,
    // or the next user of the serial ports could not change it.
    platform::station::shareNewFilesWithGroup();
    folder = station;
  } else {
    tell(why);
    if (!QDir().mkpath(folder)) tell(QStringLiteral("cannot create the settings folder ") + QDir::toNativeSeparators(folder));
  }
  tell(QStringLiteral("settings folder ") + QDir::toNativeSeparators(folder));
  return folder;
}
