#pragma once

#include <QString>

#include <windows.h>

namespace platform {

// The system's own words for an error code, without the closing full stop;
// "system error N" when it has none.
QString systemErrorText(DWORD code);

}  // namespace platform
