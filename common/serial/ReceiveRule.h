#pragma once

#include <QByteArray>

class SerialLink;

// How received bytes reach a link's ReplyBuffer and its received-line
// display. Each program brings its own: calvboot judges frames by their
// length byte, romlift collects its boot loaders' texts.
class ReceiveRule {
 public:
  virtual ~ReceiveRule() = default;
  // chunk: what one receive event read from the port.
  virtual void take(const QByteArray& chunk, SerialLink& link) = 0;
};
