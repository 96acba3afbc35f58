#include "arguments.h"

#include <CLI/CLI.hpp>

#include "messages.h"

namespace avitool {

namespace {

bool digits(const std::string& s, std::size_t most) {
    return !s.empty() && s.size() <= most && s.find_first_not_of("0123456789") == std::string::npos;
}

const char* const strictHelp =
    "read through the library's specified path only (no leniency: idx1 offsets taken as relative, no walk "
    "of unindexed chunks, dropped frames refused)";

// Option values checked when they are parsed: a value that does not parse is a usage error.
const CLI::Validator rateCheck(
    [](std::string& text) {
        std::uint32_t num, den;
        return parseRate(text, num, den) ? std::string() : "a rate such as 25, 29.97 or 30000/1001, not '" + text + "'";
    },
    "RATE");
const CLI::Validator sizeCheck(
    [](std::string& text) {
        std::uint32_t w, h;
        return parseSize(text, w, h) ? std::string() : "a size WxH (up to 32768x32768), not '" + text + "'";
    },
    "WxH");
const CLI::Validator rangeCheck(
    [](std::string& text) {
        std::uint64_t from, to;
        return parseRange(text, from, to) ? std::string() : "frames A:B with A < B (A to B-1), not '" + text + "'";
    },
    "A:B");
const CLI::Validator bitsCheck = CLI::IsMember({8, 16, 24, 32});

// A subcommand that reads FILE.
CLI::App* reader(CLI::App& app, const char* name, const char* help, std::string& file) {
    CLI::App* sub = app.add_subcommand(name, help);
    sub->add_option("FILE", file, "AVI file or URL")->required();
    return sub;
}

}  // namespace

bool parseSize(const std::string& text, std::uint32_t& w, std::uint32_t& h) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos) return false;
    const std::string a = text.substr(0, x), b = text.substr(x + 1);
    if (!digits(a, 5) || !digits(b, 5)) return false;
    w = static_cast<std::uint32_t>(std::stoul(a));
    h = static_cast<std::uint32_t>(std::stoul(b));
    return w > 0 && h > 0 && w <= 32768 && h <= 32768;
}

bool parseRange(const std::string& text, std::uint64_t& from, std::uint64_t& to) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
    if (!digits(a, 10) || !digits(b, 10)) return false;
    from = std::stoull(a);
    to = std::stoull(b);
    return from < to;
}

int parseArguments(int argc, char** argv, Arguments& args) {
    CLI::App app{"Inspect, export, build and check AVI files (local paths or http(s):// locations)."};
    app.require_subcommand(1, 1);
    app.fallthrough();  // -q is also taken after the subcommand
    app.set_version_flag("--version", std::string("avitool ") + AVITOOL_VERSION);
    app.footer(
        "Exit status: 0 success; 1 failure, or a file with problems (check; info when its status is an error);\n"
        "2 command-line usage error; 130/143 stopped by SIGINT/SIGTERM (what was written is finished first).\n"
        "A local name containing \":/\" is reached as file:NAME or ./NAME.");
    app.add_flag("-q,--quiet", args.quiet, "no progress bar");

    InfoOptions& infoOpt = args.info;
    auto* info = reader(app, "info", "Streams, sizes, rates, index and segments of a file", infoOpt.file);
    info->add_flag("--json", infoOpt.json, "JSON with ffprobe's names; an error object on failure");
    info->add_flag("--strict", infoOpt.strict, strictHelp);

    FramesOptions& framesOpt = args.frames;
    auto* frames =
        reader(app, "frames", "Export frames as PNG, PPM or raw bytes; MJPEG frames as .jpg", framesOpt.file);
    frames->add_option("-o,--output", framesOpt.out, "directory, or - for stdout")->required();
    frames->add_option("--range", framesOpt.range, "frames A:B (A to B-1), inside the file")->check(rangeCheck);
    frames
        ->add_option("--format", framesOpt.format,
                     "png (directories only), ppm, raw (ffmpeg's rawvideo: top-down, bgr24/bgra/rgb555le/pal8), "
                     "jpg (MJPEG as stored)")
        ->check(CLI::IsMember({"png", "ppm", "raw", "jpg"}));
    frames->add_flag("--avi-layout", framesOpt.aviLayout, "raw frames as stored: bottom-up, rows padded to 4 bytes");
    frames->add_flag("-y,--overwrite", framesOpt.overwrite, "replace existing frame files");
    frames->add_flag("--strict", framesOpt.strict, strictHelp);

    AudioOptions& audioOpt = args.audio;
    auto* audio = reader(app, "audio", "Write the audio stream as a WAV file", audioOpt.file);
    audio->add_option("-o,--output", audioOpt.out, "WAV file")->required();
    audio->add_flag("-y,--overwrite", audioOpt.overwrite, "replace an existing file");
    audio->add_flag("--strict", audioOpt.strict, strictHelp);

    CreateOptions& createOpt = args.create;
    auto* create =
        app.add_subcommand("create", "Build a file from images or raw frames, with optional WAV audio (8/16-bit PCM)");
    create->add_option("OUT", createOpt.out, "AVI file or URL to write")->required();
    create->add_option("--size", createOpt.size, "frame size WxH (needed for --raw; checked against images)")
        ->check(sizeCheck);
    create->add_option("--fps", createOpt.fps, "frame rate: 25, 29.97 or 30000/1001")->required()->check(rateCheck);
    create->add_option("--bits", createOpt.bits, "bits per pixel")->check(bitsCheck);
    auto* imagesOpt =
        create->add_option("--images", createOpt.images,
                           "directory of .png/.ppm images, or of .jpg images stored as MJPEG, in name order");
    auto* rawOpt = create
                       ->add_option("--raw", createOpt.raw,
                                    "- : raw frames on stdin in ffmpeg's rawvideo layout (top-down; bgr24 for 24 "
                                    "bits, bgra for 32, rgb555le for 16, pal8 for 8)")
                       ->check(CLI::IsMember({"-"}));
    imagesOpt->excludes(rawOpt);
    create->add_flag("--avi-layout", createOpt.aviLayout, "raw frames as stored: bottom-up, rows padded to 4 bytes");
    create->add_option("--audio", createOpt.audio, "WAV file (8- or 16-bit PCM), one chunk per frame");
    create->add_flag("-y,--overwrite", createOpt.overwrite, "replace an existing file");
    create
        ->add_option("--checkpoint", createOpt.checkpoint,
                     "seconds between checkpoints (default 1): a recording cut short plays up to the last one; 0 "
                     "writes the header only at the end")
        ->check(CLI::NonNegativeNumber);

    auto* check =
        reader(app, "check", "Read every frame and audio byte; exit status 0 only for a sound file", args.check.file);

    RepairOptions& repairOpt = args.repair;
    auto* repair = app.add_subcommand("repair", "Recover what a damaged file holds into a new, fully indexed file");
    repair->add_option("IN", repairOpt.in, "damaged AVI file (local, or a URL)")->required();
    repair->add_option("OUT", repairOpt.out, "AVI file to write")->required();
    repair->add_option("--size", repairOpt.size, "frame size WxH, for a file without a header")->check(sizeCheck);
    repair->add_option("--fps", repairOpt.fps, "frame rate: 25, 29.97 or 30000/1001")->check(rateCheck);
    repair->add_option("--bits", repairOpt.bits, "bits per pixel")->check(bitsCheck);
    repair->add_option("--audio", repairOpt.audio, "PCM audio RATE:BITS:CHANNELS");
    repair->add_option("--fourcc", repairOpt.fourcc, "compression code of the frames (\"\" for none)")
        ->each([&](const std::string&) { repairOpt.fourccGiven = true; });
    repair->add_flag("-y,--overwrite", repairOpt.overwrite, "replace an existing OUT");

    try {
        // A first word that names no subcommand is a usage error of its own.
        for (int i = 1; i < argc; ++i) {
            const std::string word = argv[i];
            if (word.empty() || word[0] == '-') continue;
            if (app.get_subcommands([&](const CLI::App* sub) { return sub->get_name() == word; }).empty())
                throw CLI::ParseError("unknown subcommand '" + word + "' (info, frames, audio, create, check, repair)",
                                      EXIT_USAGE);
            break;
        }
        app.parse(argc, argv);
        if (*create && createOpt.images.empty() && createOpt.raw.empty())
            throw CLI::RequiredError("create needs --images DIR or --raw -");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e), EXIT_OK;  // --help, --version
        // The reason, then the usage line of the subcommand it concerns.
        const CLI::App* sub = app.get_subcommands().empty() ? &app : app.get_subcommands().front();
        struct Usage : CLI::Formatter {
            using CLI::Formatter::make_usage;
        };
        const std::string name = sub == &app ? "avitool" : "avitool " + sub->get_name();
        std::fprintf(stderr, "avitool: %s\n%s", e.what(), Usage().make_usage(sub, name).c_str());
        return EXIT_USAGE;
    }
    args.command = *info     ? Command::Info
                   : *frames ? Command::Frames
                   : *audio  ? Command::Audio
                   : *create ? Command::Create
                   : *check  ? Command::Check
                   : *repair ? Command::Repair
                             : Command::None;
    return -1;
}

}  // namespace avitool
