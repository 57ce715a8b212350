#include "Console.h"

#include <QStringList>

#include <cstdio>
#include <unistd.h>

namespace cli {

QString oneLine(const QString& text) {
  QStringList parts;
  for (const QString& part : QString(text).replace(u'\r', u'\n').split(u'\n', Qt::SkipEmptyParts))
    parts << part.trimmed();
  parts.removeAll(QString());
  return parts.join(u' ');
}

Console::Console() : start_(std::chrono::steady_clock::now()), terminal_(::isatty(STDOUT_FILENO) == 1) {}

void Console::endProgress() {
  if (progressShown_ && terminal_) std::fputc('\n', stdout);
  progressShown_ = false;
}

void Console::line(const QString& text) {
  endProgress();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::printf("%7.2f %s\n", seconds, qPrintable(text));
  std::fflush(stdout);
}

void Console::plainLine(const QString& text) {
  endProgress();
  std::printf("%s\n", qPrintable(text));
  std::fflush(stdout);
}

void Console::box(const QString& title, const QString& text) {
  std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(oneLine(text)));
  std::fflush(stderr);
}

void Console::error(const QString& text) {
  std::fprintf(stderr, "%s\n", qPrintable(text));
  std::fflush(stderr);
}

void Console::progress(int done, int total) {
  const int percent = total > 0 ? done * 100 / total : 100;
  if (terminal_) {
    std::printf("\r%d / %d lines sent (%d %%)", done, total, percent);
    progressShown_ = true;
  } else {
    // A log file gets a line per tenth, not one per record.
    const int tenth = percent / 10;
    if (tenth == lastTenth_) return;
    lastTenth_ = tenth;
    std::printf("%d / %d lines sent (%d %%)\n", done, total, percent);
  }
  std::fflush(stdout);
}

}  // namespace cli
