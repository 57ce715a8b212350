#pragma once

#include <QString>

// Where the operating system puts a program's settings: the program's own
// folder, the mark an install leaves, the station folder every user of the
// serial ports shares, and a user's own settings folders.
namespace platform::station {

// The folder the running program was started from.
QString programFolder();

// The mark that `cmake --install` (and so the package) leaves, relative to
// the folder of the installed programs.
QString installedMarker();

// The station folder: /var/lib/kestrune-service-tools, unless
// KESTRUNE_STATION_DIR names another (tests and unpacked packages).
QString sharedFolder();

// Where each program's per-user folder goes: $XDG_CONFIG_HOME when it is an
// absolute path (a relative one is invalid and ignored), else ~/.config.
QString userSettingsBase();

// Makes a missing station folder where we may, as the package makes it:
// owned by the serial ports' group, which may write there, and whose group
// new files in it get.
void makeSharedFolder(const QString& folder);

// What a user who cannot write to the station folder does about it, for a
// line on standard error: "join the group dialout (sudo usermod ...)".
QString accessHint(const QString& folder);

// Files this process makes from now on stay readable and writable for their
// group, so that the next user of the serial ports can change them.
void shareNewFilesWithGroup();

}  // namespace platform::station
