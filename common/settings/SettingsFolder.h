#pragma once

#include <QString>

// Where a program keeps setup.ini and Log.txt. A copy run from a folder of
// its own (the build tree, a bench folder) keeps them beside itself. A copy
// that the install step marked lives in a prefix that is not the user's, so
// it never writes there: it uses the station folder, which both programs and
// every user of the serial ports share (one fixture serial counter and one
// "ComPort" per PC). A user who may not write there falls back to
// $XDG_CONFIG_HOME/<program>/ (default ~/.config/<program>/).
namespace SettingsFolder {

// The mark that `cmake --install` (and so the package) leaves, relative to
// the folder of the installed programs.
QString installedMarker();

// /var/lib/kestrune-service-tools, unless KESTRUNE_STATION_DIR names another
// (tests and unpacked packages).
QString stationFolder();

// Whether folder is the station folder (links and "." resolved).
bool isStationFolder(const QString& folder);

// The decision without the station folder: programDir is the program's own
// folder, the other two are the values of XDG_CONFIG_HOME and HOME. Gives
// programDir, or the per-user folder of a marked copy.
QString choose(const QString& program, const QString& programDir, const QString& xdgConfigHome,
               const QString& home);

// For a running program: decides from its own folder and the environment.
// An installed copy takes the station folder (made on first use where we
// may), else says on stderr which group to join and creates the per-user
// folder; either way it names the folder on stderr.
QString forProgram(const QString& program);

}  // namespace SettingsFolder
