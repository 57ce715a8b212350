#include "SettingsFolder.h"

#include "FileAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

#include <grp.h>
#include <sys/stat.h>

#ifndef KESTRUNE_INSTALLED_MARKER
#define KESTRUNE_INSTALLED_MARKER "../share/kestrune-service-tools/installed"
#endif

namespace {

// The group that may use the serial ports, and so shares the station folder.
constexpr char kStationGroup[] = "dialout";
constexpr mode_t kStationMode = 02775;  // set-group-id: new files get the group

// Whether this user can keep the settings in the station folder; when not,
// why (naming the folder and the group to join).
bool usableStation(const QString& folder, QString& why) {
  const QByteArray native = QFile::encodeName(folder);
  struct stat st {};
  if (::stat(native.constData(), &st) != 0 && ::mkdir(native.constData(), kStationMode) == 0) {
    // First use of a copy the package did not install (cmake --install run
    // as root): made as the package makes it.
    if (const group* g = ::getgrnam(kStationGroup)) (void)::chown(native.constData(), static_cast<uid_t>(-1), g->gr_gid);
    (void)::chmod(native.constData(), kStationMode);
  }
  QString groupName = QString::fromLatin1(kStationGroup);
  if (::stat(native.constData(), &st) == 0)
    if (const group* g = ::getgrgid(st.st_gid)) groupName = QString::fromLocal8Bit(g->gr_name);
  const QString ini = QDir(folder).filePath(QStringLiteral("setup.ini"));
  if (QFileInfo(ini).isSymLink()) {
    why = QStringLiteral("%1 is a symbolic link, which is never followed").arg(QDir::toNativeSeparators(ini));
    return false;
  }
  if (S_ISDIR(st.st_mode) && writableForUs(folder) && (!QFileInfo::exists(ini) || writableForUs(ini))) return true;
  why = QStringLiteral("cannot write to %1, the settings folder every user of the serial ports shares on this PC: "
                       "join the group %2 (sudo usermod -aG %2 $USER, then log in again)")
            .arg(QDir::toNativeSeparators(folder), groupName);
  return false;
}

}  // namespace

QString SettingsFolder::installedMarker() { return QStringLiteral(KESTRUNE_INSTALLED_MARKER); }

QString SettingsFolder::stationFolder() {
  const QString set = qEnvironmentVariable("KESTRUNE_STATION_DIR");
  return set.isEmpty() ? QStringLiteral("/var/lib/kestrune-service-tools") : QDir::cleanPath(set);
}

bool SettingsFolder::isStationFolder(const QString& folder) {
  const QString station = QFileInfo(stationFolder()).canonicalFilePath();
  return !station.isEmpty() && QFileInfo(folder).canonicalFilePath() == station;
}

QString SettingsFolder::choose(const QString& program, const QString& programDir, const QString& xdgConfigHome,
                               const QString& home) {
  const QString marker = installedMarker();
  if (marker.isEmpty() || !QFileInfo::exists(QDir(programDir).filePath(marker))) return programDir;
  // The base directory rules: a relative XDG_CONFIG_HOME is invalid and ignored.
  const QString base = QDir::isAbsolutePath(xdgConfigHome) ? xdgConfigHome : QDir(home).filePath(QStringLiteral(".config"));
  return QDir::cleanPath(QDir(base).filePath(program));
}

QString SettingsFolder::forProgram(const QString& program) {
  const QString own = QCoreApplication::applicationDirPath();
  QString folder = choose(program, own, qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
  if (folder == own) return folder;
  const QString station = stationFolder();
  QString why;
  if (usableStation(station, why)) {
    // What we create there must stay readable and writable for the group,
    // or the next user of the serial ports could not change it.
    ::umask(::umask(0) & ~static_cast<mode_t>(S_IRGRP | S_IWGRP));
    folder = station;
  } else {
    std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(why));
    if (!QDir().mkpath(folder))
      std::fprintf(stderr, "%s: cannot create the settings folder %s\n", qPrintable(program), qPrintable(folder));
  }
  std::fprintf(stderr, "%s: settings folder %s\n", qPrintable(program), qPrintable(folder));
  return folder;
}
