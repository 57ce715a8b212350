#pragma once

#include <chrono>
#include <optional>
#include <type_traits>

// One pass of a wait loop: serve pending events once. When nothing is pending
// it blocks until the next event (received bytes, a click) or at most
// maxBlock, so an idle wait costs almost no processor time while a reply is
// still noticed at once.
void yieldToEventLoop(std::chrono::milliseconds maxBlock = std::chrono::milliseconds{10});

// The one shape of every wait loop: each pass notes whether `limit` has
// passed (timed as the pass begins), yields once, then runs the loop's own
// tests in the loop's own order; the first value `pass` returns ends the
// wait and is returned. Without a limit, only `pass` ends it. maxBlock: how
// long one idle yield may block.
template <typename Pass>
auto waitFor(Pass&& pass, std::optional<std::chrono::milliseconds> limit,
             std::chrono::milliseconds maxBlock = std::chrono::milliseconds{10}) ->
    typename std::invoke_result_t<Pass&, bool>::value_type {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const bool limitPassed = limit && std::chrono::steady_clock::now() - start > *limit;
    yieldToEventLoop(maxBlock);
    if (auto end = pass(limitPassed)) return *std::move(end);
  }
}
