#include "IniFileHandler.h"

#include <QByteArray>
#include <QFileInfo>
#include <QList>

#include <optional>

#include "FileAccess.h"
#include "SettingsLock.h"

namespace IniFileHandler {
namespace {

MessageSink& messageSink() {
  static MessageSink sink;
  return sink;
}

// One physical line of the file: its bytes and the line end that followed
// it ("" for a last line without one). Lines are kept byte for byte so that
// a write changes nothing but the one key.
struct Line {
  QByteArray text;
  QByteArray end;
};

QList<Line> splitLines(const QByteArray& data) {
  QList<Line> lines;
  qsizetype start = 0;
  const qsizetype n = data.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char c = data[i];
    if (c != '\n' && c != '\r') continue;
    Line line{data.mid(start, i - start), {}};
    if (c == '\r' && i + 1 < n && data[i + 1] == '\n') {
      line.end = "\r\n";
      ++i;
    } else {
      line.end = QByteArray(1, c);
    }
    lines.append(line);
    start = i + 1;
  }
  if (start < n) lines.append(Line{data.mid(start), {}});
  return lines;
}

QByteArray lineEndStyle(const QList<Line>& lines) {
  for (const Line& l : lines)
    if (!l.end.isEmpty()) return l.end;
  return "\r\n";
}

QString decode(const QByteArray& bytes) { return QString::fromLocal8Bit(bytes); }
QByteArray encode(const QString& text) { return text.toLocal8Bit(); }

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QString trimBlanks(QStringView s) {
  qsizetype b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.mid(b, e - b).toString();
}

// What a line is, for the reader and the writer alike.
struct Parsed {
  enum Kind { Other, Section, Key } kind = Other;
  QString name;   // section or key name, trimmed
  QString value;  // key value, trimmed, outer quotes removed
};

Parsed parseLine(const QByteArray& raw) {
  const QString text = decode(raw);
  const QString t = trimBlanks(text);
  Parsed p;
  if (t.isEmpty() || t.startsWith(u';')) return p;
  if (t.startsWith(u'[')) {
    const qsizetype close = t.indexOf(u']');
    p.kind = Parsed::Section;
    p.name = trimBlanks(QStringView(t).mid(1, close < 0 ? -1 : close - 1));
    return p;
  }
  const qsizetype eq = t.indexOf(u'=');
  if (eq < 0) return p;
  p.kind = Parsed::Key;
  p.name = trimBlanks(QStringView(t).left(eq));
  QString v = trimBlanks(QStringView(t).mid(eq + 1));
  if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
    v = v.mid(1, v.size() - 2);
  p.value = v;
  return p;
}

bool sameName(const QString& a, const QString& b) {
  return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// Where a key sits in the parsed lines.
struct Location {
  std::optional<qsizetype> sectionLine;
  std::optional<qsizetype> keyLine;
  std::optional<qsizetype> lastKeyLine;  // last key of the section
};

Location locate(const QList<Line>& lines, const QString& section, const QString& key) {
  Location loc;
  bool inSection = false;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const Parsed p = parseLine(lines[i].text);
    if (p.kind == Parsed::Section) {
      if (inSection) break;  // the first occurrence of a section is the one used
      if (sameName(p.name, section)) {
        inSection = true;
        loc.sectionLine = i;
      }
      continue;
    }
    if (!inSection || p.kind != Parsed::Key) continue;
    loc.lastKeyLine = i;
    if (!loc.keyLine && sameName(p.name, key)) loc.keyLine = i;
  }
  return loc;
}

QString storedValue(const QString& section, const QString& key, const QString& filePath) {
  const std::optional<QByteArray> data = readNoFollow(filePath);
  if (!data) return {};
  const QList<Line> lines = splitLines(*data);
  const Location loc = locate(lines, section, key);
  return loc.keyLine ? parseLine(lines[*loc.keyLine].text).value.left(kMaxValueLength) : QString();
}

// A refused write is reported, since nothing else tells the operator why a
// setting did not stick.
bool refuse(const QString& filePath, const QString& why) {
  if (const MessageSink& say = messageSink()) say(QStringLiteral("%1: not written: %2").arg(filePath, why));
  return false;
}

}  // namespace

void setMessageSink(MessageSink sink) { messageSink() = std::move(sink); }

QString ReadIniValue(const QString& section, const QString& key, const QString& defaultValue,
                     const QString& filePath) {
  const QString found = storedValue(section, key, filePath);
  if (!found.isEmpty()) return found;
  if (defaultValue.isEmpty()) return defaultValue;
  // Look again under the lock: a value another process stored meanwhile wins
  // over the default.
  const SettingsLock lock(filePath);
  if (lock.refused()) {
    refuse(filePath, lock.refusal());
    return defaultValue;
  }
  const QString stored = storedValue(section, key, filePath);
  if (!stored.isEmpty()) return stored;
  WriteIniValue(section, key, defaultValue, filePath);
  return defaultValue;
}

QString ReadIniValueOrDefault(const QString& section, const QString& key, const QString& defaultValue,
                              const QString& filePath) {
  const QString found = ReadIniValue(section, key, QString(), filePath);
  return found.isEmpty() ? defaultValue : found;
}

bool WriteIniValue(const QString& section, const QString& key, const QString& value,
                   const QString& filePath) {
  if (section.isEmpty() || key.isEmpty()) return false;
  // A line break would add lines of its own (a file name may hold one).
  for (const QString* part : {&section, &key, &value})
    if (part->contains(u'\r') || part->contains(u'\n')) return false;
  if (!QFileInfo(QFileInfo(filePath).absolutePath()).isDir()) return false;
  // Held from the read to the rename: a writer in another process between
  // them would have its key lost. Re-entrant, so callers may hold it already.
  const SettingsLock lock(filePath);
  if (lock.refused()) return refuse(filePath, lock.refusal());
  const platform::Entry entry = platform::entryAt(filePath);
  const bool exists = entry != platform::Entry::Missing;
  if (entry == platform::Entry::Other) return refuse(filePath, QStringLiteral("not a plain file"));
  // Checked first, so that a read-only file refuses even an unchanged value.
  if (exists && !platform::writableForUs(filePath)) return false;
  QByteArray data;
  if (exists) {
    const std::optional<QByteArray> old = readNoFollow(filePath);
    if (!old) return false;
    data = *old;
  }
  QList<Line> lines = splitLines(data);
  const QByteArray eol = exists ? lineEndStyle(lines) : QByteArray("\r\n");
  const Location loc = locate(lines, section, key);

  if (loc.keyLine) {
    // Keep the key's own spelling and place; only the value changes.
    const QString spelled = parseLine(lines[*loc.keyLine].text).name;
    lines[*loc.keyLine].text = encode(spelled) + '=' + encode(value);
  } else {
    const Line keyLine{encode(key) + '=' + encode(value), eol};
    if (loc.sectionLine) {
      const qsizetype after = loc.lastKeyLine.value_or(*loc.sectionLine);
      if (lines[after].end.isEmpty()) lines[after].end = eol;
      lines.insert(after + 1, keyLine);
    } else {
      if (!lines.isEmpty() && lines.last().end.isEmpty()) lines.last().end = eol;
      lines.append(Line{'[' + encode(section) + ']', eol});
      lines.append(keyLine);
    }
  }

  QByteArray content;
  for (const Line& l : lines) content += l.text + l.end;
  if (exists && content == data) return true;
  return replaceFileContent(filePath, content, exists);
}

}  // namespace IniFileHandler
