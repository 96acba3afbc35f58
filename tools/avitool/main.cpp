// avitool: inspect, export, build and check AVI files from a shell.
// This file only hands the parsed command line to its subcommand (commands/).
#include <exception>

#include "arguments.h"
#include "commands/commands.h"
#include "messages.h"
#include "progress.h"
#include "signals.h"

using namespace avitool;

int main(int argc, char** argv) {
    Arguments args;
    const int status = parseArguments(argc, argv, args);
    if (status >= 0) return status;
    Progress::setQuiet(args.quiet);
    installSignalHandlers();
    try {
        switch (args.command) {
            case Command::Info:
                return runInfo(args.info);
            case Command::Frames:
                return runFrames(args.frames);
            case Command::Audio:
                return runAudio(args.audio);
            case Command::Create:
                return runCreate(args.create);
            case Command::Check:
                return runCheck(args.check);
            case Command::Repair:
                return runRepair(args.repair);
            case Command::None:
                break;
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return EXIT_FAIL;
}
