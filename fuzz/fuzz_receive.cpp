// The receive handler fed random chunks, in calvboot's frame mode and in
// romlift's uploader mode, against a model of what ReplyBuffer and the Rx
// line must then hold. Chunks reach the port control through its delivery
// seam instead of a pseudo-terminal, for speed.
#include <serial/HexText.h>
#include <protocol/FrameRule.h>
#include <romlift/UploaderRule.h>
#include <serial/SerialLink.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>

#include "FuzzSupport.h"

namespace {

SerialLink* calvboot = nullptr;
SerialLink* romlift = nullptr;
QString shown;  // the last Rx line either link handed to its window

// The readable form is checked on its own by fuzz_numbers.
QString rxLine(const QByteArray& bytes) { return QStringLiteral("RX: ") + HexText::HexStringToReadable(bytes); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  new QCoreApplication(*argc, *argv);
  static QTemporaryDir folder;
  calvboot = new SerialLink(std::make_unique<FrameRule>(), folder.path());
  romlift = new SerialLink(std::make_unique<UploaderRule>(), folder.path());
  for (SerialLink* link : {calvboot, romlift}) {
    link->MSComm1().setRThreshold(1);
    QObject::connect(link, &SerialLink::rxText, [](const QString& text) { shown = text; });
  }
  return 0;
}

// Input: a mode byte (even: calvboot, odd: romlift), then chunks, each a
// length byte (its top bit: the caller empties ReplyBuffer first) and bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  SerialLink& form = (data[0] & 1) ? *romlift : *calvboot;
  form.ClearMScommInput();
  shown.clear();
  QByteArray model;
  for (std::size_t i = 1; i < size;) {
    const std::uint8_t head = data[i++];
    if (head & 0x80) {
      form.ReplyBuffer.clear();
      model.clear();
    }
    const std::size_t n = std::min<std::size_t>(head & 0x7F, size - i);
    const QByteArray chunk(reinterpret_cast<const char*>(data + i), qsizetype(n));
    i += n;
    const QByteArray before = form.ReplyBuffer;
    form.MSComm1().deliverReceived(chunk);
    if (chunk.isEmpty()) {
      check(form.ReplyBuffer == before, "an empty delivery changed the buffer");
    } else if (&form == calvboot) {
      model += chunk;
      if (model.size() > FrameRule::kOverflowLength) {
        check(form.ReplyBuffer.isEmpty() && shown == rxLine(model), "overflow not shown and emptied");
        model.clear();
      } else {
        check(form.ReplyBuffer == model, "frame mode lost or added bytes");
        if (model.size() >= static_cast<std::uint8_t>(model[0]))
          check(shown == rxLine(model), "complete reply not shown");
      }
    } else {
      const bool appended = form.ReplyBuffer == before + chunk;
      check(appended || form.ReplyBuffer == before, "uploader mode changed the buffer otherwise");
      // A chunk without a digit reads as 0 and so is never filtered out.
      const bool hasDigit = std::any_of(chunk.begin(), chunk.end(), [](char c) { return c >= '0' && c <= '9'; });
      check(appended || hasDigit, "a chunk without a number was dropped");
      if (appended) check(shown == rxLine(form.ReplyBuffer), "accepted chunk not shown");
    }
  }
  return 0;
}
