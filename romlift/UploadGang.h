#pragma once

#include <QString>

#include <vector>

#include <cli/CommandLine.h>

#include "UploadSteps.h"

namespace cli {
class CommandRun;
}

// romlift --upload FILE --ports LIST: one unit per port at once, each in a
// session of its own on a thread of its own, each keeping its own pace, one
// line per slot while they run and a table at the end. A slot that fails
// ends alone.
namespace UploadGang {

// The process's exit status: 0 when every slot passed, else the status of
// the first slot in port order that did not. json: each slot's events on
// standard output instead of the slots' lines and the table.
int run(cli::CommandRun& run, const QString& file, const std::vector<cli::PortChoice>& ports,
        const UploadSteps::Choices& choices, bool json);

}  // namespace UploadGang
