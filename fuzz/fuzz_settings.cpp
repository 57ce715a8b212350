// The settings store on a random setup.ini with random writes and reads.
// After every step the file is compared line by line with the one before:
// a write changes exactly the key's line or adds it (with its section), a
// key written reads back as written within the reading rules, and every
// other key keeps its value.
#include <settings/IniFileHandler.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QRegularExpression>

#include <map>

#include "FuzzSupport.h"

using namespace IniFileHandler;

namespace {

QByteArray fileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Line {
  QByteArray text, end;
  bool operator==(const Line&) const = default;
};

// CR LF, LF and a lone CR end a line; the last may have no end.
QList<Line> linesOf(const QByteArray& data) {
  static const QRegularExpression line(QStringLiteral("([^\r\n]*)(\r\n|\r|\n|\\z)"));
  QList<Line> lines;
  for (auto found = line.globalMatch(QString::fromLatin1(data)); found.hasNext();) {
    const QRegularExpressionMatch m = found.next();
    if (m.capturedLength() > 0) lines.append({m.captured(1).toLatin1(), m.captured(2).toLatin1()});
  }
  return lines;
}

// Short names from few letters, so that steps meet each other's sections
// and keys and those of the random file, in either letter case.
QString nameFrom(FuzzedDataProvider& in) {
  static const char letters[] = "aAbB#";
  QString name;
  for (int n = in.ConsumeIntegralInRange(1, 2); n > 0; --n) name += QChar(letters[in.ConsumeIntegralInRange(0, 4)]);
  return name;
}

// Printable text with blanks, tabs and quotes; now and then a line break,
// which a write must refuse.
QString valueFrom(FuzzedDataProvider& in) {
  static const QRegularExpression other(QStringLiteral("[^\r\n\t -~]"));
  return QString::fromLatin1(in.ConsumeRandomLengthString(300)).replace(other, QStringLiteral("x"));
}

// What a read returns for a stored value: blanks and tabs trimmed, one
// outer pair of like quotes removed, at most 254 characters.
QString asRead(QString v) {
  static const QRegularExpression outerBlanks(QStringLiteral("^[ \t]+|[ \t]+\\z"));
  v.remove(outerBlanks);
  if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front()) v = v.mid(1, v.size() - 2);
  return v.left(IniFileHandler::kMaxValueLength);
}

// The lines after a write must be those before with the key's line changed,
// or the key's line added after another line, or its section and the key
// appended. A line that gained a line end to make room counts as unchanged.
void checkOneLineChanged(const QList<Line>& before, const QList<Line>& after, const QString& section,
                         const QString& key, const QString& value) {
  auto same = [](const Line& b, const Line& a) { return b.text == a.text && (b.end == a.end || b.end.isEmpty()); };
  qsizetype i = 0;
  while (i < before.size() && i < after.size() && same(before[i], after[i])) ++i;
  const qsizetype added = after.size() - before.size();
  check(added >= 0 && added <= 2 && i < after.size(), "lines lost");
  // The key (no '=' in it) in any letter case and with blanks around, then '=' and the value as given.
  const QByteArray& keyLine = after[i + (added == 2)].text;
  check(keyLine.endsWith('=' + value.toLatin1()) &&
            keyLine.chopped(value.size() + 1).trimmed().toLower() == key.toLower().toLatin1(),
        "the key's line is not key=value");
  if (added == 2) check(i == before.size() && after[i].text == "[" + section.toLatin1() + "]", "new section misplaced");
  const qsizetype rest = i + (added == 0 ? 1 : added);
  for (qsizetype j = rest; j < after.size(); ++j) check(after[j] == before[j - added], "a later line changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool hasFile = in.ConsumeBool();
  const std::string initial = in.ConsumeRandomLengthString(2000);
  const QString path = inputFile("setup.ini", reinterpret_cast<const std::uint8_t*>(initial.data()), initial.size());
  if (!hasFile) QFile::remove(path);
  std::map<std::pair<QString, QString>, QString> seen;  // lower-case section and key: value read
  auto probe = [&] {
    for (auto& [name, value] : seen) value = ReadIniValue(name.first, name.second, QString(), path);
  };
  for (int step = 0; step < 8 && in.remaining_bytes() > 0; ++step) {
    const QString section = nameFrom(in), key = nameFrom(in), value = valueFrom(in);
    const bool isRead = in.ConsumeBool(), breaks = value.contains(u'\r') || value.contains(u'\n');
    const auto id = std::make_pair(section.toLower(), key.toLower());
    seen[id];
    probe();
    const auto old = seen;
    const QByteArray was = fileBytes(path);
    const QString stored = old.at(id);
    bool wrote = !breaks;
    if (isRead) {
      const QString got = ReadIniValue(section, key, value, path);
      check(got == (stored.isEmpty() ? value : stored), "read gave neither the value nor the default");
      wrote = stored.isEmpty() && !value.isEmpty() && !breaks;
    } else {
      check(WriteIniValue(section, key, value, path) != breaks, "write outcome");
    }
    const QByteArray now = fileBytes(path);
    probe();
    for (const auto& [name, v] : seen) {
      if (name == id && wrote) check(v == asRead(value), "value does not read back");
      else check(v == old.at(name), "another key changed");
    }
    if (!wrote) check(now == was, "file changed without a write");
    else if (now != was) checkOneLineChanged(linesOf(was), linesOf(now), section, key, value);
  }
  return 0;
}
