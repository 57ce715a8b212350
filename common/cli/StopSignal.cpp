#include "StopSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <settings/SettingsLock.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
int pipeFds[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t signalsSeen = 0;
volatile std::sig_atomic_t firstSignal = 0;
char atOnceMessage[96] = "stopped at once by a second signal\n";
std::size_t atOnceLength = std::strlen(atOnceMessage);

void onSignal(int number) {
  // The first stop waits for the transaction in flight; a second one is the
  // operator insisting: end now, the system releases the port and the lock.
  if (signalsSeen != 0) {
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, atOnceMessage, atOnceLength);
    ::_exit(128 + number);
  }
  signalsSeen = 1;
  firstSignal = number;
  SettingsLock::stopRequested = 1;
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
  std::snprintf(atOnceMessage, sizeof atOnceMessage, "%s: stopped at once by a second signal\n",
                qPrintable(QCoreApplication::applicationName()));
  atOnceLength = std::strlen(atOnceMessage);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : kStopSignals) ::sigaction(number, &action, nullptr);
}

StopSignal::~StopSignal() {
  for (const int number : kStopSignals) std::signal(number, SIG_DFL);
}

int StopSignal::exitStatus() const {
  // Taken from the handler: a signal that came while the event thread was
  // held in a call that does not yield (a database statement) has not
  // reached the notifier yet.
  const int number = raised_ ? signal_ : firstSignal;
  return number != 0 ? 128 + number : 0;
}
