#include <platform/StopRequests.h>

#include <QCoreApplication>
#include <QWinEventNotifier>

#include <atomic>
#include <functional>
#include <cstdio>
#include <cstring>

#include <windows.h>

namespace platform {

namespace {

// The exit status of the first request (as a shell reports the signals on
// Linux: 130 Ctrl+C, 129 a closed terminal, 143 SIGTERM); 0 while none came.
std::atomic<int> firstStatus{0};

HANDLE wake = nullptr;  // set by a request, served on the event thread
char atOnceMessage[128] = "stopped at once by a second signal\n";
DWORD atOnceLength = DWORD(std::strlen(atOnceMessage));

// A closing console, a log-off and a shut-down end the process as soon as
// the handler returns (and within about five seconds in any case): the
// handler waits this long for the run to end by itself.
constexpr DWORD kGraceMs = 4500;

int statusOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: return 130;  // as SIGINT
    case CTRL_CLOSE_EVENT: return 129;  // as SIGHUP
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: return 143;  // as SIGTERM
    default: return 0;
  }
}

// True for the first request; a second ends the process at once with its
// own status (the system then releases the port and the locks).
bool request(int status) {
  int none = 0;
  if (firstStatus.compare_exchange_strong(none, status)) {
    if (wake) ::SetEvent(wake);
    return true;
  }
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), atOnceMessage, atOnceLength, &written, nullptr);
  ::TerminateProcess(::GetCurrentProcess(), UINT(status));
  return false;
}

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI onControl(DWORD event) {
  const int status = statusOf(event);
  if (status == 0) return FALSE;
  request(status);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The run ends the process when it has wound down; if it has not by
    // then, it ends here with the status the request promised.
    ::Sleep(kGraceMs);
    ::TerminateProcess(::GetCurrentProcess(), UINT(status));
  }
  return TRUE;
}

// A program that loads the window library (Qt does) gets no console event
// for a log-off or shut-down: those come to its top-level windows. A hidden
// one, served by the event loop's message pump, takes them.
std::function<void()>* endSessionCallback = nullptr;

LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QUERYENDSESSION) return TRUE;
  if (message == WM_ENDSESSION) {
    // The session may end as soon as this returns: the run's stop is begun
    // here, on the event thread, rather than at the next turn of the loop.
    if (wParam && request(143) && endSessionCallback && *endSessionCallback) (*endSessionCallback)();
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND makeSessionWindow() {
  static const wchar_t* const kClass = L"KestruneSessionEnd";
  static const bool registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = onSessionMessage;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    return ::RegisterClassW(&wc) != 0;
  }();
  if (!registered) return nullptr;
  // Top-level (not message-only, which no broadcast reaches) and never shown.
  return ::CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

bool stopRequested() { return firstStatus.load() != 0; }

struct StopRequests::Watch {
  std::function<void()> onFirst;
  std::unique_ptr<QWinEventNotifier> notifier;
  HWND sessionWindow = nullptr;
  bool served = false;
};

StopRequests::StopRequests(std::function<void()> onFirst) : watch_(std::make_unique<Watch>()) {
  watch_->onFirst = std::move(onFirst);
  if (!wake) wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Watch* watch = watch_.get();
  if (wake) {
    watch->notifier = std::make_unique<QWinEventNotifier>(wake);
    QObject::connect(watch->notifier.get(), &QWinEventNotifier::activated, watch->notifier.get(), [watch] {
      if (watch->served) return;
      watch->served = true;
      if (watch->onFirst) watch->onFirst();
    });
  }
  std::snprintf(atOnceMessage, sizeof atOnceMessage, "%s: stopped at once by a second signal\n",
                qPrintable(QCoreApplication::applicationName()));
  atOnceLength = DWORD(std::strlen(atOnceMessage));
  // A process started without Ctrl+C (a new process group) takes it again,
  // as the Linux programs take SIGINT whatever they inherited.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(onControl, TRUE);
  static std::function<void()> atSessionEnd;
  atSessionEnd = [watch] {
    if (watch->served) return;
    watch->served = true;
    if (watch->onFirst) watch->onFirst();
  };
  endSessionCallback = &atSessionEnd;
  watch->sessionWindow = makeSessionWindow();
}

StopRequests::~StopRequests() {
  ::SetConsoleCtrlHandler(onControl, FALSE);
  endSessionCallback = nullptr;
  if (watch_->sessionWindow) ::DestroyWindow(watch_->sessionWindow);
}

int StopRequests::exitStatus() const {
  // Taken from the handler: a request that came while the event thread was
  // held in a call that does not yield has not reached the notifier yet.
  return firstStatus.load();
}

}  // namespace platform
