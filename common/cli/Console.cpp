#include "Console.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <cstdio>

#include <platform/Terminal.h>

namespace cli {

QString oneLine(const QString& text) {
  QStringList parts;
  for (const QString& part : QString(text).replace(u'\r', u'\n').split(u'\n', Qt::SkipEmptyParts))
    parts << part.trimmed();
  parts.removeAll(QString());
  return parts.join(u' ');
}

Console::Console() : start_(std::chrono::steady_clock::now()), terminal_(platform::standardOutputIsTerminal()) {}

namespace {
// Messages come from every slot's thread; the route is swapped under the
// same lock, so none is sent to a route that is gone.
QMutex& routeMutex() {
  static QMutex mutex;
  return mutex;
}
std::function<void(const QString&)>& errorRoute() {
  static std::function<void(const QString&)> route;
  return route;
}

void writeError(const QString& line) {
  QMutexLocker lock(&routeMutex());
  if (errorRoute()) {
    errorRoute()(line);
    return;
  }
  std::fprintf(stderr, "%s\n", qPrintable(line));
  std::fflush(stderr);
}

// A terminal redraws the progress line no more often than this.
constexpr auto kRedrawInterval = std::chrono::milliseconds{250};
}  // namespace

// The progress line, at its latest, stays as an ordinary line.
void Console::endProgress() {
  if (progressShown_ && terminal_) std::printf("\r\033[K%s\n", qPrintable(progressText_));
  progressShown_ = false;
}

// Other lines scroll above the progress line: clear it now, draw it again after them.
void Console::clearProgress() {
  if (progressShown_ && terminal_) std::fputs("\r\033[K", stdout);
}

void Console::line(const QString& text) {
  clearProgress();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::printf("%7.2f %s\n", seconds, qPrintable(text));
  if (progressShown_ && terminal_) std::fputs(qPrintable(progressText_), stdout);
  std::fflush(stdout);
}

void Console::plainLine(const QString& text) {
  endProgress();
  std::printf("%s\n", qPrintable(text));
  std::fflush(stdout);
}

void Console::box(const QString& title, const QString& text) { writeError(title + QStringLiteral(": ") + oneLine(text)); }

void Console::error(const QString& text) { writeError(text); }

Console::ErrorRoute::ErrorRoute(std::function<void(const QString&)> route) {
  QMutexLocker lock(&routeMutex());
  errorRoute() = std::move(route);
}

Console::ErrorRoute::~ErrorRoute() {
  QMutexLocker lock(&routeMutex());
  errorRoute() = nullptr;
}

void Console::progress(int done, int total) {
  const int percent = total > 0 ? done * 100 / total : 100;
  progress(QStringLiteral("%1 / %2 lines sent (%3 %)").arg(done).arg(total).arg(percent), percent);
}

void Console::progress(const QString& text, int percent) {
  const bool last = percent >= 100;
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    if (progressShown_ && !last && now - lastDrawn_ < kRedrawInterval) {
      progressText_ = text;
      return;
    }
    lastDrawn_ = now;
    progressText_ = text;
    std::printf("\r\033[K%s", qPrintable(text));
    progressShown_ = true;
    if (last) endProgress();
  } else {
    // A log file gets a line per tenth, not one per record.
    const int tenth = percent / 10;
    if (tenth == lastTenth_) return;
    lastTenth_ = tenth;
    std::printf("%s\n", qPrintable(text));
  }
  std::fflush(stdout);
}

}  // namespace cli
