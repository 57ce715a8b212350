// Opens a serial device with QSerialPort (lock file and exclusive use, as a
// real serial program does), reports "held" and keeps it until stdin closes.
#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  QSerialPort port;
  port.setPortName(QString::fromLocal8Bit(argv[1]));
  if (!port.open(QIODevice::ReadWrite)) {
    std::fprintf(stdout, "failed %s\n", port.errorString().toLocal8Bit().constData());
    return 1;
  }
  std::fprintf(stdout, "held\n");
  std::fflush(stdout);
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0) {
  }
  return 0;
}
