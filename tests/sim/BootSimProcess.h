#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>

// bootsim as a child process: its pseudo-terminal path, and its closing
// report once it has been asked to end.
class BootSimProcess {
 public:
  struct Gaps {
    int count = 0;
    double min = 0, median = 0, max = 0;  // ms
  };

  // Starts bootsim with args; false when it did not report its terminal.
  bool start(const QStringList& args);
  ~BootSimProcess();

  const QString& slavePath() const { return slavePath_; }

  // Ends bootsim (SIGTERM, unless it ends by itself within grace) and returns
  // its closing report.
  QString finish(int graceMs = 0);
  // Whether it ended by itself within the grace of finish().
  bool endedByItself() const { return endedByItself_; }

  // From the closing report; -1, nothing or empty when missing.
  static int linesTaken(const QString& report);
  static std::optional<Gaps> gaps(const QString& report);
  static QString verdict(const QString& report);

 private:
  QProcess process_;
  QString slavePath_;
  QString report_;
  bool finished_ = false;
  bool endedByItself_ = false;
};
