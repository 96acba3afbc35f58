#pragma once
// The subcommands, one file each; main() runs the one the command line names.

#include "arguments.h"

namespace avitool {

int runInfo(const InfoOptions& o);
int runFrames(const FramesOptions& o);
int runAudio(const AudioOptions& o);
int runCreate(CreateOptions o);
int runCheck(const CheckOptions& o);
int runRepair(const RepairOptions& o);

}  // namespace avitool
