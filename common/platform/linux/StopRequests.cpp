#include <platform/StopRequests.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

int pipeFds[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t signalsSeen = 0;
volatile std::sig_atomic_t firstSignal = 0;
char atOnceMessage[96] = "stopped at once by a second signal\n";
std::size_t atOnceLength = std::strlen(atOnceMessage);

// The handler only notes the request and writes its number to a pipe; a
// notifier on the event thread does the rest, outside the handler.
void onSignal(int number) {
  // The first stop waits for the transaction in flight; a second one is the
  // operator insisting: end now, the system releases the port and the lock.
  if (signalsSeen != 0) {
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, atOnceMessage, atOnceLength);
    ::_exit(128 + number);
  }
  firstSignal = number;
  signalsSeen = 1;
  const char byte = char(number);
  [[maybe_unused]] const auto n = ::write(pipeFds[1], &byte, 1);
}

}  // namespace

bool stopRequested() { return signalsSeen != 0; }

struct StopRequests::Watch {
  std::function<void()> onFirst;
  std::unique_ptr<QSocketNotifier> notifier;
};

StopRequests::StopRequests(std::function<void()> onFirst) : watch_(std::make_unique<Watch>()) {
  watch_->onFirst = std::move(onFirst);
  if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  watch_->notifier = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
  Watch* watch = watch_.get();
  QObject::connect(watch->notifier.get(), &QSocketNotifier::activated, watch->notifier.get(), [watch] {
    char buf[16];
    while (::read(pipeFds[0], buf, sizeof buf) > 0) {
    }
    if (watch->onFirst) watch->onFirst();
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

StopRequests::~StopRequests() {
  for (const int number : kStopSignals) std::signal(number, SIG_DFL);
}

int StopRequests::exitStatus() const {
  // Taken from the handler: a request that came while the event thread was
  // held in a call that does not yield has not reached the notifier yet.
  return firstSignal != 0 ? 128 + firstSignal : 0;
}

}  // namespace platform
