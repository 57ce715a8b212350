#include "StopSignal.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int pipeFds[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int number) {
  const char byte = char(number);
  [[maybe_unused]] const auto n = ::write(pipeFds[1], &byte, 1);
}
}  // namespace

StopSignal::StopSignal(std::function<void()> onStop, QObject* parent) : QObject(parent), onStop_(std::move(onStop)) {
  if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;)
      if (!raised_) signal_ = buf[0];  // the first signal says why the run stopped
    raised_ = true;
    if (onStop_) onStop_();
  });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : kStopSignals) ::sigaction(number, &action, nullptr);
}

StopSignal::~StopSignal() {
  for (const int number : kStopSignals) std::signal(number, SIG_DFL);
}
