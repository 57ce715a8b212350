#pragma once

#include <QString>

#include <cstdint>

#include "ProductTable.h"

// The file check behind File > Load: the product is told by the file's first
// line alone; the rest of the file is left to the product's boot loader.
class SrecordCheck {
 public:
  // The seven upgrade steps and a blank line; the guide text begins with it.
  static const QString& upgradeSteps();
  static const QString kNotValidVerdict;

  QString FileName;
  bool FileValid = false;
  std::uint8_t ProductCode = 0;
  QString BootInstructions;
  // Text_Filevalid after the last check that got as far as a verdict.
  QString Verdict;

  // Checks the chosen path. False when it stopped silently: an empty path,
  // a file that cannot be opened or has no line. FileValid and ProductCode
  // are reset first either way; instructions and verdict change only when
  // true is returned.
  bool Load(const QString& chosenPath);

  // The upgrade steps followed by the instructions: Label1's caption.
  QString GuideText() const { return upgradeSteps() + BootInstructions; }
};
