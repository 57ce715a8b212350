#include "FrameRule.h"

#include <serial/SerialLink.h>

#include <cstdint>

void FrameRule::take(const QByteArray& chunk, SerialLink& link) {
  QByteArray& reply = link.ReplyBuffer;
  reply += chunk;
  // The first byte of a reply is its length; show it once it is complete.
  if (!reply.isEmpty() && reply.size() >= std::uint8_t(reply.at(0))) link.WriteIn(SerialLink::rxLine(reply));
  if (reply.size() > kOverflowLength) {
    link.WriteIn(SerialLink::rxLine(reply));
    reply.clear();
  }
}
