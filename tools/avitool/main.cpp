// avitool: inspect, export, build and check AVI files from a shell.
// This file only wires the command line to the subcommands (cmd_*.cpp).
#include <CLI/CLI.hpp>
#include <exception>

#include "common.h"

using namespace avitool;

int main(int argc, char** argv) {
    CLI::App app{"Inspect, export, build and check AVI files (local paths or http(s):// locations)."};
    app.require_subcommand(1, 1);

    InfoOptions infoOpt;
    auto* info = app.add_subcommand("info", "Streams, sizes, rates, index and segments of a file");
    info->add_option("FILE", infoOpt.file, "AVI file or URL")->required();
    info->add_flag("--json", infoOpt.json, "stable machine-readable output");

    FramesOptions framesOpt;
    auto* frames = app.add_subcommand("frames", "Export frames as PNG, PPM or raw bytes");
    frames->add_option("FILE", framesOpt.file, "AVI file or URL")->required();
    frames->add_option("-o,--output", framesOpt.out, "directory, or - for stdout")->required();
    frames->add_option("--range", framesOpt.range, "frames A:B (B excluded), A: or :B");
    frames->add_option("--format", framesOpt.format, "png (directories only), ppm or raw")
        ->check(CLI::IsMember({"png", "ppm", "raw"}));

    AudioOptions audioOpt;
    auto* audio = app.add_subcommand("audio", "Write the audio stream as a WAV file");
    audio->add_option("FILE", audioOpt.file, "AVI file or URL")->required();
    audio->add_option("-o,--output", audioOpt.out, "WAV file")->required();

    CreateOptions createOpt;
    auto* create = app.add_subcommand("create", "Build a file from images or raw frames, with optional WAV audio");
    create->add_option("OUT", createOpt.out, "AVI file or URL to write")->required();
    create->add_option("--size", createOpt.size, "frame size WxH")->required();
    create->add_option("--fps", createOpt.fps, "frame rate")->required()->check(CLI::PositiveNumber);
    create->add_option("--bits", createOpt.bits, "bits per pixel")->check(CLI::IsMember({8, 16, 24, 32}));
    auto* imagesOpt = create->add_option("--images", createOpt.images, "directory of .png/.ppm images, in name order");
    auto* rawOpt =
        create->add_option("--raw", createOpt.raw, "- : frames as stored (bottom-up, rows padded to 4 bytes) on stdin")
            ->check(CLI::IsMember({"-"}));
    imagesOpt->excludes(rawOpt);
    create->add_option("--audio", createOpt.audio,
                       "PCM WAV file, one chunk per frame; the last chunk is completed with silence");

    CheckOptions checkOpt;
    auto* check = app.add_subcommand("check", "Read every frame and audio byte; exit status 0 only for a sound file");
    check->add_option("FILE", checkOpt.file, "AVI file or URL")->required();

    RepairOptions repairOpt;
    auto* repair = app.add_subcommand("repair", "Recover what a damaged file holds into a new, fully indexed file");
    repair->add_option("IN", repairOpt.in, "damaged AVI file")->required();
    repair->add_option("OUT", repairOpt.out, "AVI file to write")->required();
    repair->add_option("--size", repairOpt.size, "frame size WxH, for a file without a header");
    repair->add_option("--fps", repairOpt.fps, "frame rate R or NUM/DEN");
    repair->add_option("--bits", repairOpt.bits, "bits per pixel");
    repair->add_option("--audio", repairOpt.audio, "PCM audio RATE:BITS:CHANNELS");
    repair->add_option("--fourcc", repairOpt.fourcc, "compression code of the frames (\"\" for none)")
        ->each([&](const std::string&) { repairOpt.fourccGiven = true; });
    repair->add_flag("-y,--overwrite", repairOpt.overwrite, "replace an existing OUT");

    CLI11_PARSE(app, argc, argv);
    try {
        if (*info) return runInfo(infoOpt);
        if (*frames) return runFrames(framesOpt);
        if (*audio) return runAudio(audioOpt);
        if (*create) {
            if (createOpt.images.empty() && createOpt.raw.empty()) return fail("create needs --images DIR or --raw -");
            return runCreate(createOpt);
        }
        if (*check) return runCheck(checkOpt);
        if (*repair) return runRepair(repairOpt);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 1;
}
