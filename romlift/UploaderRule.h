#pragma once

#include <serial/ReceiveRule.h>

// romlift's receive rule: the boot loaders' texts are collected as they come,
// except a chunk that is nothing but the number 13 or 10 (a bare CR or LF
// read on its own).
class UploaderRule : public ReceiveRule {
 public:
  void take(const QByteArray& chunk, SerialLink& link) override;
};
