#pragma once

#include <chrono>
#include <optional>
#include <type_traits>

// How long one idle yield of a wait loop blocks unless told otherwise.
constexpr std::chrono::milliseconds kYieldBlock{10};

// One pass of a wait loop: serve pending events once. When nothing is pending
// it blocks until the next event (received bytes, a click) or at most
// maxBlock, so an idle wait costs almost no processor time while a reply is
// still noticed at once.
void yieldToEventLoop(std::chrono::milliseconds maxBlock = kYieldBlock);

// The clock the timed waits run on: the system's (steady time and the event
// loop), or a test's virtual one.
class WaitClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~WaitClock() = default;
  virtual TimePoint now() = 0;
  // Serve pending events once; when none is pending, block at most maxBlock.
  virtual void yield(std::chrono::milliseconds maxBlock) = 0;
  // A pause that serves nothing, until `until`.
  virtual void sleepUntil(TimePoint until) = 0;

  // steady_clock and yieldToEventLoop; stateless, shared by everyone.
  static WaitClock& system();
};

// The one shape of every wait loop: each pass notes whether `limit` has
// passed (timed as the pass begins), yields once, then runs the loop's own
// tests in the loop's own order; the first value `pass` returns ends the
// wait and is returned. Without a limit, only `pass` ends it. maxBlock: how
// long one idle yield may block.
template <typename Pass>
auto waitFor(Pass&& pass, std::optional<std::chrono::milliseconds> limit, std::chrono::milliseconds maxBlock = kYieldBlock,
             WaitClock& clock = WaitClock::system()) -> typename std::invoke_result_t<Pass&, bool>::value_type {
  const auto start = clock.now();
  for (;;) {
    const bool limitPassed = limit && clock.now() - start > *limit;
    clock.yield(maxBlock);
    if (auto end = pass(limitPassed)) return *std::move(end);
  }
}
