#include "SettingsFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

#ifndef KESTRUNE_INSTALLED_MARKER
#define KESTRUNE_INSTALLED_MARKER "../share/kestrune-service-tools/installed"
#endif

QString SettingsFolder::installedMarker() { return QStringLiteral(KESTRUNE_INSTALLED_MARKER); }

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
  const QString folder = choose(program, own, qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
  if (folder == own) return folder;
  if (!QDir().mkpath(folder))
    std::fprintf(stderr, "%s: cannot create the settings folder %s\n", qPrintable(program), qPrintable(folder));
  std::fprintf(stderr, "%s: settings folder %s\n", qPrintable(program), qPrintable(folder));
  return folder;
}
