#include <platform/Process.h>

namespace platform {

void prepareProcess() {}

}  // namespace platform
