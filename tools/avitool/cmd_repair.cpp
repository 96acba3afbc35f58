// avitool repair: recover every intact chunk of a damaged file into a new, fully indexed one.
#include <unistd.h>

#include <cstdio>

#include "common.h"
#include "salvage/salvage.h"

namespace avitool {

int runRepair(const RepairOptions& opt) {
    salvage::Hints hints;
    auto usage = [](const std::string& what) {
        std::fprintf(stderr, "avitool: repair: bad %s\n", what.c_str());
        return 2;
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
    if (opt.in == opt.out) return usage("OUT: it must not be IN");
    if (!opt.overwrite && ::access(opt.out.c_str(), F_OK) == 0)
        return usage("OUT: " + opt.out + " exists (-y replaces it)");
    salvage::Report report;
    std::string error;
    const bool ok = salvage::repair(opt.in, opt.out, hints, opt.overwrite, report, error);
    std::printf("%s: %s\n%s", opt.in.c_str(), ok ? ("recovered into " + opt.out).c_str() : "not repaired",
                salvage::describe(report).c_str());
    if (!ok) return fail(error);
    return 0;
}

}  // namespace avitool
