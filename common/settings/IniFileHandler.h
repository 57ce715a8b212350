#pragma once

#include <QString>

#include <platform/MessageSink.h>

// Reads and writes one key of a classic initialisation file (setup.ini).
// Every call goes to the file; nothing is cached. Names match without regard
// to letter case; values are trimmed and lose one outer pair of quotes.
namespace IniFileHandler {

// Longest value a read returns; longer values are cut.
inline constexpr int kMaxValueLength = 254;

// The value of key in section, or defaultValue when the file, section or key
// is missing or the value is empty. A non-empty default is then written back.
QString ReadIniValue(const QString& section, const QString& key, const QString& defaultValue,
                     const QString& filePath);

// The same read without the write-back: a run started from the command line
// stores nothing at start-up.
QString ReadIniValueOrDefault(const QString& section, const QString& key, const QString& defaultValue,
                              const QString& filePath);

// Sets key in section to value (written exactly as given). Creates the file
// and the section when missing. The file is replaced atomically. Returns
// false when the file cannot be written: a missing folder, or a file or
// folder without write permission (honoured even for root); also, with a
// message "<file>: not written: <why>" to the message sink, when setup.ini is
// not a plain file (a symbolic link is never followed) or the settings lock
// is not had in time (SettingsLock).
bool WriteIniValue(const QString& section, const QString& key, const QString& value,
                   const QString& filePath);

// Where the messages about refused writes go; none until a program sets
// one. Set it at start-up, before any other thread reads or writes a file.
void setMessageSink(MessageSink sink);

}  // namespace IniFileHandler
