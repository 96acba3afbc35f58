#pragma once
// The command line: each subcommand's options, checked as they are parsed (a value that does
// not parse is a usage error), and the number formats they take.

#include <cstdint>
#include <string>

#include "format/Rate.h"

namespace avitool {

struct InfoOptions {
    std::string file;
    bool json = false;
    bool strict = false;  // the library's specified read path instead of the tolerant reader
};
struct FramesOptions {
    std::string file, out, range, format;
    bool aviLayout = false;  // raw frames as stored: bottom-up, rows padded to 4 bytes
    bool overwrite = false;
    bool strict = false;
};
struct AudioOptions {
    std::string file, out;
    bool overwrite = false;
    bool strict = false;
};
struct CreateOptions {
    std::string out, size, fps, images, raw, audio;
    unsigned bits = 24;
    double checkpoint = 1;  // seconds between checkpoints; 0: none
    bool aviLayout = false;
    bool overwrite = false;
};
struct CheckOptions {
    std::string file;
};

struct RepairOptions {
    std::string in, out, size, fps, audio, fourcc;
    unsigned bits = 0;
    bool fourccGiven = false, overwrite = false;
};

enum class Command { None, Info, Frames, Audio, Create, Check, Repair };

struct Arguments {
    Command command = Command::None;
    bool quiet = false;  // no progress bar
    InfoOptions info;
    FramesOptions frames;
    AudioOptions audio;
    CreateOptions create;
    CheckOptions check;
    RepairOptions repair;
};

// Reads the command line into args. -1 when the subcommand is to run; otherwise the exit
// status: EXIT_OK after --help or --version, EXIT_USAGE after a usage error (printed, with
// the usage line of the subcommand it concerns).
int parseArguments(int argc, char** argv, Arguments& args);

// A frame rate as a fraction: "30000/1001", "25", "29.97" (as 2997/100); the grammar every
// component that takes a rate shares.
using avi::format::parseRate;
// "WxH", each from 1 to 32768.
bool parseSize(const std::string& text, std::uint32_t& w, std::uint32_t& h);
// "A:B": frames A to B-1, A < B.
bool parseRange(const std::string& text, std::uint64_t& from, std::uint64_t& to);

}  // namespace avitool
