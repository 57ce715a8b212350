#pragma once

#include <QString>

#include <cstdint>

// Taking the uploader's stored numbers from setup.ini texts, range-checked
// where they are converted.
namespace StartupSettings {

constexpr std::int16_t kMinLineDelay = 150;  // ms
constexpr std::int16_t kMaxLineDelay = 32767;  // ms, the largest 16-bit delay

// "Delay": the number to the nearest whole millisecond, at least 150.
// A value beyond the 16-bit range is clamped into 150..32767.
std::int16_t lineDelayFromText(const QString& text);

// "ComPort": the number as a byte, handed to SelectComPort as it is. A value
// beyond the byte range counts as 0 (which selects COM1), as a text that is
// no number does.
std::uint8_t comPortFromText(const QString& text);

}  // namespace StartupSettings
