#pragma once

#include <QString>

#include <chrono>
#include <functional>

namespace cli {

// Console output of a run: lines on standard output prefixed with the
// seconds since the run began, message boxes as "Title: text" lines on
// standard error, and a progress line (in place on a terminal, kept below
// the other lines and redrawn at most a few times a second; one plain line
// per 10 % otherwise).
class Console {
 public:
  Console();

  void line(const QString& text);        // with the elapsed seconds
  void plainLine(const QString& text);   // as it is (the final status line)
  static void box(const QString& title, const QString& text);
  static void error(const QString& text);
  // While one lives, the lines of error() and box() go to route instead of
  // straight to standard error: a board drawn on a terminal steps aside for
  // them. One at a time.
  class ErrorRoute {
   public:
    explicit ErrorRoute(std::function<void(const QString&)> route);
    ~ErrorRoute();
    ErrorRoute(const ErrorRoute&) = delete;
    ErrorRoute& operator=(const ErrorRoute&) = delete;
  };
  void progress(int done, int total);  // "12 / 40 lines sent (30 %)"
  // Any progress text; at 100 % it is shown and left as an ordinary line.
  void progress(const QString& text, int percent);

 private:
  void endProgress();
  void clearProgress();

  std::chrono::steady_clock::time_point start_;
  bool terminal_ = false;
  bool progressShown_ = false;
  int lastTenth_ = -1;
  QString progressText_;
  std::chrono::steady_clock::time_point lastDrawn_;
};

// CR LF separated text as one line: its non-empty lines joined by a blank.
QString oneLine(const QString& text);

}  // namespace cli
