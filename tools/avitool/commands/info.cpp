// avitool info: streams, sizes, rates, index and segments of a file, as text or as JSON
// whose names follow ffprobe's.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "commands/commands.h"
#include "format/Header.h"
#include "json.h"
#include "locations.h"
#include "messages.h"
#include "reading.h"
#include "salvage/salvage.h"

namespace avitool {

namespace {

using nlohmann::json;

// Facts as the tolerant reader found them.
void factsOf(salvage::TolerantReader& t, VideoFacts& v, AudioFacts& a) {
    const salvage::VideoFormat& f = t.video();
    v = {f.stream,  f.bits,   f.width, f.height,          f.rateNum,
         f.rateDen, f.fourcc, "",      t.frames().size(), t.findings().droppedFrames};
    std::vector<char> first;  // the first stored frame tells a JPEG's pixel format
    for (std::size_t i = 0; f.compressed() && i < t.frames().size(); ++i) {
        if (t.frames()[i].size == 0) continue;
        first.resize(t.frames()[i].size);
        if (!t.readStored(i, first.data())) first.clear();
        break;
    }
    v.pixFmt = videoPixelFormat(f.fourcc, f.bits, first);
    const salvage::AudioFormat& w = t.audio();
    a = {w.stream, w.formatTag, w.bits, w.channels, w.sampleRate, t.audioBytes(), w.formatTag == 1};
}

// Facts as the library reads them.
void factsOf(avi::internal::FileBridge& f, VideoFacts& v, AudioFacts& a) {
    const std::string fourcc = f.getVideoFourCC();
    v = {f.videoStream(),
         f.getVideoBitsPerPixel(),
         f.getVideoWidth(),
         f.getVideoHeight(),
         f.getVideoStreamRate(),
         f.getVideoStreamScale(),
         fourcc,
         "",
         f.getVideoTotalFrames(),
         0};
    std::vector<char> first(fourcc.empty() || f.getVideoTotalFrames() == 0 ? 0 : f.getRawVideoFrameSize(0));
    if (!first.empty() && first.size() <= fileSize(f)) f.readVideoFrame(first.data(), 0);
    f.clearError();
    v.pixFmt = videoPixelFormat(fourcc, v.bits, first);
    a = {f.audioStream(),        f.wave().wFormatTag,    f.getAudioBitsPerSample(), f.getAudioNumberOfChannels(),
         f.getAudioSampleRate(), f.getAudioTotalBytes(), !f.isAudioCompressed()};
}

std::string indexName(salvage::IndexKind k) {
    return k == salvage::IndexKind::OpenDML ? "indx" : k == salvage::IndexKind::Idx1 ? "idx1" : "scan";
}

}  // namespace

int runInfo(const InfoOptions& given) {
    InfoOptions opt = given;
    opt.file = recordingNamed(given.file);
    const Location loc = locate(opt.file);
    avi::internal::FileBridge strict;
    const bool strictOpened = openFile(strict, loc, "r");
    const avi::errors::error_T strictCode = strict.getErrorCode();
    const std::string strictError = errorText(strict), strictMessage = strict.getErrorMsg();  // reads clear them
    const std::string remoteWhy = strictCode != avi::errors::ERR_NONE && !loc.local ? remoteFailure() : "";
    salvage::TolerantReader t;
    std::string why;
    const bool tolerant = !opt.strict && openTolerant(t, loc, why);
    // A file whose header was read but not accepted is still described, with its error.
    if (opt.strict ? !strict.isOpen() : !tolerant) {
        const std::string extra = !remoteWhy.empty() ? remoteWhy : whyNotOpened(opt.file, false);
        if (opt.strict) why = strictError + (extra.empty() ? "" : " (" + extra + ")");
        // The library's code, where it has one for the file.
        const int code = strictCode != avi::errors::ERR_NONE ? static_cast<int>(strictCode)
                                                             : static_cast<int>(avi::errors::ERR_UNSUPPORTED_FILE);
        if (opt.json) std::printf("%s\n", json{{"error", errorObject(code, why)}}.dump(2).c_str());
        return fail(shown(opt.file) + ": " + why);
    }
    VideoFacts v;
    AudioFacts a;
    if (tolerant)
        factsOf(t, v, a);
    else
        factsOf(strict, v, a);
    const bool hasVideo = tolerant ? t.hasVideo() : strict.hasVideo();
    const bool hasAudio = tolerant ? t.hasAudio() : strict.hasAudio();
    std::vector<avi::format::StreamList> lists;
    std::uint64_t size = 0;
    unsigned segments = 0;
    if (strict.isOpen()) {
        avi::format::Source in(*strict.handler(), strict.handle());
        const avi::format::TopLevel top = avi::format::readTopLevel(in);
        lists = avi::format::readHeaderList(in, top).streams;
        size = in.size();
        segments = static_cast<unsigned>(top.segments.size());
    }
    const salvage::Findings& found = t.findings();
    if (tolerant) size = found.fileSize, segments = found.segments;
    double duration = 0;
    json j{{"streams", describe(lists, hasVideo ? &v : nullptr, hasAudio ? &a : nullptr, duration)}};
    const std::string difference = tolerant ? strictDifference(strict, strictOpened, t) : "";
    // The strict path alone can only check that its index points at chunks of its streams
    // (a wrong base shows at the first entries).
    salvage::IndexCheck check;
    if (!tolerant && strictCode == avi::errors::ERR_NONE) {
        salvage::verifyEntries(*strict.handler(), strict.handle(), strict.videoEntries(), strict.videoStream(), true,
                               64, check);
        salvage::verifyEntries(*strict.handler(), strict.handle(), strict.audioEntries(), strict.audioStream(), false,
                               64, check);
    }
    const bool ok = tolerant || (strictCode == avi::errors::ERR_NONE && check.mismatches == 0);
    std::string index = tolerant ? indexName(found.index) : "strict";
    std::string status =
        difference.empty() ? "ok" : "readable; the strict path (--strict) differs: " + shown(difference);
    if (!tolerant && check.mismatches != 0)
        status = "the index points at other chunks (" + std::to_string(check.mismatches) + " of " +
                 std::to_string(check.entries) +
                 " entries checked): this path reads wrong bytes; read without --strict";
    else if (!tolerant)
        status = ok ? "ok" : shown(strictError) + (remoteWhy.empty() ? "" : " (" + shown(remoteWhy) + ")");
    j["format"] = {{"filename", utf8Safe(shown(opt.file))},
                   {"format_name", "avi"},
                   {"size", size},
                   {"duration", duration},
                   {"bit_rate", static_cast<std::uint64_t>(
                                    duration > 0 ? finite(static_cast<double>(size) * 8.0 / duration) : 0.0)},
                   {"nb_streams", j["streams"].size()},
                   {"riff_segments", segments},
                   {"status", utf8Safe(status)}};
    if (tolerant) {
        j["format"]["index"] = index;
        if (found.index == salvage::IndexKind::Idx1)
            j["format"]["index_offsets"] = found.absoluteOffsets ? "absolute" : "relative";
        j["format"]["nb_walked_frames"] = found.walkedFrames;
        if (found.cutAt != 0) j["format"]["cut_at"] = found.cutAt;
        j["format"]["parameters"] = found.params == salvage::Source::Header     ? "header"
                                    : found.params == salvage::Source::SideFile ? "side file"
                                                                                : "hints";
        j["format"]["strict_same_bytes"] = difference.empty();
    } else if (!ok) {
        j["error"] = errorObject(static_cast<int>(strictCode),
                                 strictMessage + (remoteWhy.empty() ? "" : " (" + remoteWhy + ")"));
    }
    if (opt.json) {
        std::printf("%s\n", j.dump(2).c_str());
        return ok ? EXIT_OK : EXIT_FAIL;
    }
    std::ostringstream o;
    o << "file:     " << shown(opt.file) << "\nsize:     " << size << " bytes, " << segments << " RIFF segment(s)";
    if (tolerant)
        o << ", frames through " << (found.index == salvage::IndexKind::Walk ? "a walk of the chunks" : index)
          << (found.absoluteOffsets ? " (absolute offsets)" : "");
    o << "\n";
    for (const auto& s : j["streams"]) {
        o << "stream " << s["index"].get<int>() << ": " << s["codec_type"].get<std::string>();
        if (s.contains("codec_name")) o << ", " << s["codec_name"].get<std::string>();
        if (s.contains("pix_fmt")) o << " " << s["pix_fmt"].get<std::string>();
        if (s.contains("width"))
            o << ", " << s["width"] << "x" << s["height"] << ", " << s["nb_frames"] << " frames at "
              << s["r_frame_rate"].get<std::string>() << " fps";
        if (s.contains("sample_rate"))
            o << ", " << s["sample_rate"] << " Hz, " << s["bits_per_sample"] << " bits, " << s["channels"]
              << " channel(s)";
        if (s.contains("duration")) o << ", " << s["duration"].get<double>() << " s";
        if (s.contains("nb_dropped_frames") && s["nb_dropped_frames"] != 0)
            o << ", " << s["nb_dropped_frames"] << " of them dropped (empty chunks, shown as the frame before)";
        if (!s["read"].get<bool>()) o << " (not read by avitool)";
        o << "\n";
    }
    if (tolerant) {
        if (found.walkedFrames != 0)
            o << "note:     " << found.walkedFrames << " frame(s) found by walking the chunks, not through an index\n";
        if (found.cutAt != 0)
            o << "note:     the file is cut short: it ends inside a chunk at byte " << found.cutAt << "\n";
        if (found.params == salvage::Source::SideFile)
            o << "note:     no header: stream parameters from the side file " << shown(opt.file) << ".recovery.json\n";
        for (const std::string& n : found.notes) o << "note:     " << n << "\n";
    }
    o << "status:   " << status << "\n";
    if (!difference.empty())
        o << "          avitool frames and audio read this file exactly; `avitool repair " << shown(opt.file)
          << " OUT.avi` writes a copy that every reader reads\n";
    std::fputs(o.str().c_str(), stdout);
    return ok ? EXIT_OK : EXIT_FAIL;
}

}  // namespace avitool
