#pragma once

namespace platform {

// What the process needs from the platform before Qt starts; both programs
// call it first thing in main().
void prepareProcess();

// The end of a command-line run whose work is done and whose files are
// closed: standard output and error are flushed, then on Windows the process
// ends with status at once, without the runtime's and the libraries' exit
// path, which under Wine now and then never returned after a run with
// several slots; elsewhere status is returned, for main() to return.
int endProcess(int status);

}  // namespace platform
