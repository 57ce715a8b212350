#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>

// A simulator run for a test: started with options, its line learnt from the
// first line it prints, ended with SIGTERM; what it printed after is its report.
class SimProcess {
 public:
  SimProcess(const QString& program, const QStringList& options);
  ~SimProcess() { stop(); }

  bool started() const { return !slavePath_.isEmpty(); }
  QString slavePath() const { return slavePath_; }
  qint64 processId() const { return process_.processId(); }
  // Ends it (once) and returns its report.
  QString stop();

  // The silences between lines, from a bootsim report; nothing when missing.
  struct Gaps {
    int count = 0;
    double min = 0, median = 0, max = 0;  // ms
  };
  static std::optional<Gaps> gaps(const QString& report);
  // One figure of a calvsim --counters file ("opens", "sent", ...); -1 when missing.
  static long long counter(const QString& file, const QByteArray& name);

 private:
  QProcess process_;
  QString slavePath_, report_;
  bool stopped_ = false;
};

struct CalvsimProcess : SimProcess {
  explicit CalvsimProcess(const QStringList& options = {}) : SimProcess(QStringLiteral(CALVSIM_PATH), options) {}
};

struct BootSimProcess : SimProcess {
  explicit BootSimProcess(const QStringList& options = {}) : SimProcess(QStringLiteral(BOOTSIM_PATH), options) {}
};
