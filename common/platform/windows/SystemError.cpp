#include "SystemError.h"

namespace platform {

QString systemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  QString reason = n > 0 && text ? QString::fromWCharArray(text, int(n)).trimmed() : QString();
  if (text) ::LocalFree(text);
  if (reason.endsWith(u'.')) reason.chop(1);
  return reason.isEmpty() ? QStringLiteral("system error %1").arg(code) : reason;
}

}  // namespace platform
