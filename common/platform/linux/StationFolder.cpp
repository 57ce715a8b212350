#include <platform/StationFolder.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KESTRUNE_INSTALLED_MARKER
#define KESTRUNE_INSTALLED_MARKER "../share/kestrune-service-tools/installed"
#endif

namespace platform::station {

namespace {

// The group that may use the serial ports, and so shares the station folder.
constexpr char kStationGroup[] = "dialout";
constexpr mode_t kStationMode = 02775;  // set-group-id: new files get the group

}  // namespace

QString programFolder() { return QCoreApplication::applicationDirPath(); }

QString installedMarker() { return QStringLiteral(KESTRUNE_INSTALLED_MARKER); }

QString sharedFolder() {
  const QString set = qEnvironmentVariable("KESTRUNE_STATION_DIR");
  return set.isEmpty() ? QStringLiteral("/var/lib/kestrune-service-tools") : QDir::cleanPath(set);
}

QString userSettingsBase() {
  // The base directory rules: a relative XDG_CONFIG_HOME is invalid and ignored.
  const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
  return QDir::cleanPath(QDir::isAbsolutePath(xdg) ? xdg : QDir(QDir::homePath()).filePath(QStringLiteral(".config")));
}

void makeSharedFolder(const QString& folder) {
  const QByteArray native = QFile::encodeName(folder);
  struct stat st {};
  if (::stat(native.constData(), &st) == 0 || ::mkdir(native.constData(), kStationMode) != 0) return;
  // First use of a copy the package did not install (cmake --install run
  // as root): made as the package makes it.
  if (const group* g = ::getgrnam(kStationGroup)) (void)::chown(native.constData(), static_cast<uid_t>(-1), g->gr_gid);
  (void)::chmod(native.constData(), kStationMode);
}

QString accessHint(const QString& folder) {
  QString groupName = QString::fromLatin1(kStationGroup);
  struct stat st {};
  if (::stat(QFile::encodeName(folder).constData(), &st) == 0)
    if (const group* g = ::getgrgid(st.st_gid)) groupName = QString::fromLocal8Bit(g->gr_name);
  return QStringLiteral("join the group %1 (sudo usermod -aG %1 $USER, then log in again)").arg(groupName);
}

void shareNewFilesWithGroup() { ::umask(::umask(0) & ~static_cast<mode_t>(S_IRGRP | S_IWGRP)); }

}  // namespace platform::station
