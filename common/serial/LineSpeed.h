#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// The line speeds both programs offer, in the one place that knows a speed's
// code (the menu index and the SetupMScomm argument), its baud rate, its text
// ("ComSpeed" in setup.ini, --speed) and its line settings.
class LineSpeed {
 public:
  enum Code : std::uint8_t { Baud9600 = 0, Baud57600 = 1, Baud115200 = 2 };
  static constexpr int kCount = 3;

  constexpr LineSpeed() = default;
  constexpr explicit LineSpeed(Code code) : code_(code) {}

  // Nothing for a code no speed has.
  static std::optional<LineSpeed> fromCode(int code);
  // The exact text "9600", "57600" or "115200" (surrounding blanks allowed).
  static std::optional<LineSpeed> fromText(const QString& text);
  // A stored "ComSpeed" as a number: 115200 and 57600 select theirs, any
  // other value 9600.
  static LineSpeed fromStored(double value);

  constexpr Code code() const { return code_; }
  int baud() const;
  QString text() const;          // "115200"
  QString lineSettings() const;  // "115200,N,8,1"

  friend constexpr bool operator==(LineSpeed, LineSpeed) = default;

 private:
  Code code_ = Baud9600;
};
