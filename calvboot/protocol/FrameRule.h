#pragma once

#include <serial/ReceiveRule.h>

// calvboot's receive rule: replies are judged by their length byte. A reply
// is shown once it is complete, and a stray reply never grows past 80 bytes:
// it is shown and dropped.
class FrameRule : public ReceiveRule {
 public:
  static constexpr int kOverflowLength = 80;
  void take(const QByteArray& chunk, SerialLink& link) override;
};
