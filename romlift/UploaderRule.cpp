#include "UploaderRule.h"

#include <serial/SerialLink.h>
#include <settings/LenientNumber.h>

namespace {
constexpr int kCarriageReturn = 13;
constexpr int kLineFeed = 10;
}  // namespace

void UploaderRule::take(const QByteArray& chunk, SerialLink& link) {
  link.MSComm1().setInBufferCount(0);
  // Skipped only when the chunk is nothing but the number 13 or 10: text
  // read together with such a number (a refusal, "OK") must not go with it.
  // (Blanks, tabs and line feeds do not count, as in the number reading.)
  QString text = QString::fromLatin1(chunk);
  text.remove(u' ').remove(u'\t').remove(u'\n');
  const double value = LenientNumber::numericValue(text);
  if (!LenientNumber::isNumeric(text) || (value != kCarriageReturn && value != kLineFeed)) {
    link.ReplyBuffer += chunk;
    link.WriteIn(SerialLink::rxLine(link.ReplyBuffer));
  }
}
