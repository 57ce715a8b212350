#pragma once

namespace platform {

// What the process needs from the platform before Qt starts; both programs
// call it first thing in main().
void prepareProcess();

}  // namespace platform
