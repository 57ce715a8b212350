#pragma once

#include <QString>

// Where a program keeps setup.ini and Log.txt. A copy run from a folder of
// its own (the build tree, a bench folder) keeps them beside itself. A copy
// that the install step marked lives in a prefix that is not the user's, so
// it uses $XDG_CONFIG_HOME/<program>/ (default ~/.config/<program>/) and
// never writes into the prefix.
namespace SettingsFolder {

// The mark that `cmake --install` (and so the package) leaves, relative to
// the folder of the installed programs.
QString installedMarker();

// The decision alone: programDir is the program's own folder, the other two
// are the values of XDG_CONFIG_HOME and HOME.
QString choose(const QString& program, const QString& programDir, const QString& xdgConfigHome,
               const QString& home);

// For a running program: decides from its own folder and the environment;
// an installed copy creates the per-user folder and names it on stderr.
QString forProgram(const QString& program);

}  // namespace SettingsFolder
