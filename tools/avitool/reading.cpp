#include "reading.h"

#include <sys/stat.h>

#include "avi/LocalFileHandler.h"
#include "format/ChunkReader.h"
#include "image.h"
#include "messages.h"
#include "strutil/strutil.h"

namespace avitool {

std::string recordingNamed(const std::string& name) {
    const Location loc = locate(name);
    struct stat part, whole;
    if (!loc.local || ::stat((loc.path + ".part").c_str(), &part) != 0) return name;
    const bool gone = ::stat(loc.path.c_str(), &whole) != 0;
    if (!gone && part.st_mtim.tv_sec < whole.st_mtim.tv_sec) return name;
    std::fprintf(stderr, "avitool: %s was not finished: reading %s.part, the recording that was cut short\n",
                 shown(name).c_str(), shown(name).c_str());
    return name + ".part";
}

bool openTolerant(salvage::TolerantReader& r, const Location& loc, std::string& error) {
    bool ok;
    if (loc.local) {
        ok = r.open(std::make_shared<avi::LocalFileHandler>(),
                    strutil::filesystem::codecvt_narrow_string_to_ustring(true)(loc.path), salvage::Hints(),
                    loc.path + ".recovery.json");
    } else {
        remoteFailure();  // forgets an older failure
        ok = r.open(loc.path);
    }
    if (ok) return true;
    const std::string why = whyNotOpened(loc.typed, false);
    error = why.empty() ? r.error() : "cannot open it: " + why;
    return false;
}

int openForReading(bool strict, const Location& in, avi::internal::FileBridge& f, salvage::TolerantReader& t) {
    std::string error;
    if (strict) return openFile(f, in, "r") ? EXIT_OK : fail(f, in, false);
    return openTolerant(t, in, error) ? EXIT_OK : fail(shown(in.typed) + ": " + error);
}

namespace {

std::string number(std::uint64_t n) { return std::to_string(n); }

// What a library failure means for a file the tolerant reader reads.
std::string meaning(const avi::File& f, const salvage::TolerantReader& t) {
    const auto code = f.getErrorCode();
    const salvage::Findings& found = t.findings();
    if ((code == avi::errors::ERR_ALL_CHUNKS_MISSING || code == avi::errors::ERR_VIDEO_CHUNKS_MISSING ||
         code == avi::errors::ERR_AUDIO_CHUNKS_MISSING) &&
        found.walkedFrames + t.audioChunks().size() > 0)
        return " (the file has no index it can use; " + number(t.frames().size()) + " video and " +
               number(t.audioChunks().size()) + " audio chunks are in it)";
    return "";
}

}  // namespace

std::string strictDifference(avi::internal::FileBridge& f, bool opened, const salvage::TolerantReader& t) {
    if (!opened || f.getErrorCode() != avi::errors::ERR_NONE)
        return "the strict path fails: " + errorText(f) + meaning(f, t);
    if (t.hasVideo() != f.hasVideo() || t.hasAudio() != f.hasAudio()) return "the strict path finds other streams";
    const auto& frames = t.frames();
    const auto& entries = f.videoEntries();
    const std::string absolute = t.findings().absoluteOffsets
                                     ? " (the idx1 offsets are file positions; the strict path takes them as relative)"
                                     : "";
    if (t.hasVideo() && entries.size() != frames.size())
        return "the strict path reads " + number(entries.size()) + " frames, the file holds " + number(frames.size()) +
               (t.findings().walkedFrames != 0 ? " (" + number(t.findings().walkedFrames) + " of them no index names)"
                                               : "");
    for (std::size_t i = 0; t.hasVideo() && i < frames.size(); ++i) {
        const std::uint32_t size = f.isVideoCompressed() ? entries[i].getSize() : f.frameBytes();
        if (entries[i].getAbsolutePosition() != frames[i].offset || size != frames[i].size)
            return "frame " + number(i) + ": the strict path reads " + number(size) + " bytes at offset " +
                   number(entries[i].getAbsolutePosition()) + ", the frame is " + number(frames[i].size) +
                   " bytes at " + number(frames[i].offset) + absolute;
    }
    const auto& chunks = t.audioChunks();
    const auto& audio = f.audioEntries();
    if (t.hasAudio() && audio.size() != chunks.size())
        return "the strict path reads " + number(audio.size()) + " audio chunks, the file holds " +
               number(chunks.size());
    for (std::size_t i = 0; t.hasAudio() && i < chunks.size(); ++i)
        if (audio[i].getAbsolutePosition() != chunks[i].offset || audio[i].getSize() != chunks[i].size)
            return "audio chunk " + number(i) + ": the strict path reads it at offset " +
                   number(audio[i].getAbsolutePosition()) + ", it is at " + number(chunks[i].offset) + absolute;
    if (t.hasAudio() && !f.isAudioCompressed() && f.getAudioTotalBytes() != t.audioBytes())
        return "the stream header announces " + number(f.getAudioTotalBytes()) + " bytes of audio, the chunks hold " +
               number(t.audioBytes());
    return "";
}

std::uint64_t fileSize(avi::internal::FileBridge& f) {
    return f.isOpen() ? avi::format::Source(*f.handler(), f.handle()).size() : 0;
}

bool checkGeometry(avi::File& f, std::uint64_t fileSize, std::string& error) {
    if (!f.hasVideo() || f.isVideoCompressed()) return true;  // compressed sizes are per frame, checked when read
    const std::uint32_t w = f.getVideoWidth(), h = f.getVideoHeight();
    const unsigned bits = f.getVideoBitsPerPixel();
    if (w == 0 || h == 0 || w > 32768 || h > 32768 || (bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        error = "unsupported frame geometry " + number(w) + "x" + number(h) + " at " + number(bits) + " bits";
        return false;
    }
    const std::uint64_t expect = std::uint64_t{rowStride(w, bits)} * h, rgb = std::uint64_t{rowStride(w, 24)} * h;
    if (f.getRawVideoFrameSize(0) != expect || f.getRGB24VideoFrameSize() < rgb) {
        error = "the header's " + number(w) + "x" + number(h) + " at " + number(bits) + " bits needs " +
                number(expect) + " bytes per frame, the file states " + number(f.getRawVideoFrameSize(0));
        return false;
    }
    if (expect > fileSize) {
        error = "a frame of " + number(expect) + " bytes cannot fit in a file of " + number(fileSize);
        return false;
    }
    return true;
}

}  // namespace avitool
