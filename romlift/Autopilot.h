#pragma once

class LoaderForm;

// Demonstration seam: when the environment variable ROMLIFT_AUTOPILOT names an
// S-record file, the program loads it, presses "Open Comm Port" and, once the
// boot loader has announced itself, "Upload"; then it prints the lines of
// Text_Serinput on standard output, ending with "romlift: autopilot done".
// Without the variable nothing happens.
namespace Autopilot {
void startIfRequested(LoaderForm& form);
}
