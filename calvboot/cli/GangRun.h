#pragma once

#include <QString>

#include <vector>

#include <cli/CommandLine.h>
#include <serial/LineSpeed.h>

namespace cli {
class CommandRun;
}

// calvboot --program FILE --ports LIST: one unit per port at once, each in
// a run session of its own on a thread of its own, one line per slot while
// they run and a table at the end. A slot that fails ends alone.
namespace GangRun {

struct Plan {
  QString file;
  QString address;  // the network address every slot sends to
  LineSpeed speed;
  std::vector<cli::PortChoice> ports;
  bool json = false;  // events on standard output instead of the slots' lines and the table
};

// The process's exit status: 0 when every slot passed, else the status of
// the first slot in port order that did not.
int run(cli::CommandRun& run, const Plan& plan);

}  // namespace GangRun
