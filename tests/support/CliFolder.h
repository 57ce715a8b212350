#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A program copied into a folder of its own (it keeps setup.ini beside
// itself) and run from the command line, as a production script would.
class CliFolder {
 public:
  struct Result {
    int exitCode = -1;
    QString out;
    QString err;
    QString lastLine() const;
  };

  explicit CliFolder(const QString& program);

  QString path(const QString& name) const { return dir_.filePath(name); }
  void writeIni(const QByteArray& text) const;
  QByteArray ini() const;

  // Runs in the folder, as a script started there would.
  std::unique_ptr<QProcess> start(const QStringList& args) const;
  // Sends `signal` (SIGINT unless said) once standard output shows
  // interruptAt, when given.
  static Result finish(QProcess& process, const QString& interruptAt = {}, int signal = 2);
  Result run(const QStringList& args, const QString& interruptAt = {}, int signal = 2) const {
    return finish(*start(args), interruptAt, signal);
  }

 private:
  QTemporaryDir dir_;
  QString program_;
};
