// The S-record file check and the sequential line reader on whole random
// files: the reader must return the lines a reference split gives (CR or
// CR LF end a line, a lone LF does not), and the check judges the first.
#include <text/LineReader.h>
#include <romlift/SrecordCheck.h>


#include "FuzzSupport.h"

namespace {

QList<QByteArray> linesOf(QByteArray data) {
  data.replace("\r\n", "\r");
  QList<QByteArray> lines = data.split('\r');
  if (lines.last().isEmpty()) lines.removeLast();
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString path = inputFile("fuzz.s19", data, size);
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  const QList<QByteArray> expected = linesOf(bytes);
  LineReader in(LineEnd::CrOrCrLf);
  check(in.open(path), "file did not open");
  QList<QByteArray> read;
  while (!in.atEnd()) {
    const std::optional<QByteArray> line = in.readLine();
    check(line.has_value(), "no line although not at the end");
    read.append(*line);
  }
  check(!in.readLine().has_value(), "a line after the end");
  check(read == expected, "lines differ from the reference split");

  SrecordCheck file;
  check(file.Load(path) == !expected.isEmpty(), "load outcome");
  check(file.FileValid == (file.ProductCode != 0), "validity and product disagree");
  if (file.FileValid) check(expected.first().startsWith("S0"), "a non-header line was taken");
  return 0;
}
