#pragma once

#include <QString>

#include <platform/MessageSink.h>

// Where a program keeps setup.ini and Log.txt. A copy run from a folder of
// its own (the build tree, a bench folder) keeps them beside itself. A copy
// that the install step marked lives in a prefix that is not the user's, so
// it never writes there: it uses the station folder, which both programs and
// every user of the serial ports share (one fixture serial counter and one
// "ComPort" per PC). A user who may not write there falls back to a folder
// of their own (platform::station::userSettingsBase()/<program>/).
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
// folder, userBase where users' own settings folders go. Gives programDir,
// or the per-user folder of a marked copy.
QString choose(const QString& program, const QString& programDir, const QString& userBase);

// For a running program: decides from its own folder and the environment.
// An installed copy takes the station folder (made on first use where we
// may), else tells `say` which group to join and creates the per-user
// folder; either way it names the folder to `say`. Each text starts with
// "<program>: ".
QString forProgram(const QString& program, const MessageSink& say);

}  // namespace SettingsFolder
