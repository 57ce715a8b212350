#pragma once

#include <chrono>

// One pass of a wait loop: serve pending events once. When nothing is pending
// it blocks until the next event (received bytes, a click) or at most
// maxBlock, so an idle wait costs almost no processor time while a reply is
// still noticed at once.
void yieldToEventLoop(std::chrono::milliseconds maxBlock = std::chrono::milliseconds{10});
