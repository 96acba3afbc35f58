// avitool repair: recover every intact chunk of a damaged file into a new, fully indexed one.
#include <cstdio>

#include "commands/commands.h"
#include "locations.h"
#include "messages.h"
#include "outputs.h"
#include "reading.h"
#include "salvage/salvage.h"

namespace avitool {

int runRepair(const RepairOptions& opt) {
    salvage::Hints hints;
    auto usage = [](const std::string& what) {
        std::fprintf(stderr, "avitool: repair: bad %s\n", what.c_str());
        return EXIT_USAGE;
    };
    if (!opt.size.empty() && !hints.setSize(opt.size)) return usage("--size " + opt.size + " (WxH)");
    if (!opt.fps.empty() && !hints.setFps(opt.fps)) return usage("--fps " + opt.fps);
    if (!opt.audio.empty() && !hints.setAudio(opt.audio))
        return usage("--audio " + opt.audio + " (RATE:BITS:CHANNELS)");
    if (opt.bits != 0 && opt.bits != 8 && opt.bits != 16 && opt.bits != 24 && opt.bits != 32)
        return usage("--bits " + std::to_string(opt.bits));
    hints.bits = opt.bits;
    if (opt.fourccGiven) {
        if (opt.fourcc.size() != 4 && !opt.fourcc.empty()) return usage("--fourcc " + opt.fourcc);
        hints.fourcc = opt.fourcc;
        hints.fourccGiven = true;
    }
    const std::string inName = recordingNamed(opt.in);
    const Location inLoc = locate(inName), outLoc = locate(opt.out);
    const bool local = inLoc.local;
    const std::string& in = inLoc.path;
    if (in == outLoc.path && local == outLoc.local) return usage("OUT: it must not be IN");
    // A URL is read through the remote plug-in, which this object keeps loaded.
    avi::internal::FileBridge keeper;
    const auto source = local ? nullptr : handlerFor(keeper, inLoc);
    if (!local && !source) return fail("cannot read " + shown(inName) + ": the remote plug-in is not available");
    const std::string why = local ? whyNotOpened(inName, false) : std::string();
    if (!why.empty()) return fail("cannot read " + shown(inName) + ": " + why);
    Output out;
    if (!out.prepare(opt.out, opt.overwrite)) return EXIT_FAIL;
    salvage::Report report;
    std::string error;
    const bool ok = salvage::repair(in, out.path(), hints, true, report, error, source.get()) && out.commit();
    // A remote IN that could not be read: the plug-in says why, and there is nothing to report.
    const std::string remoteWhy = ok || local ? std::string() : remoteFailure();
    if (!remoteWhy.empty()) error = remoteWhy;
    if (ok || report.fileSize > 0)
        std::printf("%s: %s\n%s", shown(inName).c_str(),
                    ok ? ("recovered into " + shown(opt.out)).c_str() : "not repaired",
                    salvage::describe(report).c_str());
    if (!ok) return error.empty() ? EXIT_FAIL : fail(error);
    return EXIT_OK;
}

}  // namespace avitool
