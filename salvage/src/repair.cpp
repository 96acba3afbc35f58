// Writing what the walker recovered into a new file through the library's writer, the text
// of the report, and the check of a file's loaded indexes against the bytes they point at.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "avi/LocalFileHandler.h"
#include "avi/fcns.h"
#include "core/FileBridge.h"
#include "detail.h"
#include "format/Header.h"
#include "strutil/strutil.h"

namespace salvage {

namespace {

// A chunk id as text, bytes outside printable ASCII shown in hex.
std::string idText(const char* id) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(id[i]);
        char b[8];
        std::snprintf(b, sizeof b, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
        s += b;
    }
    return s;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

const char* sourceName(Source s) {
    switch (s) {
        case Source::Header:
            return "the file's header";
        case Source::SideFile:
            return "the recovery side file";
        case Source::Hints:
            return "the hints given";
        default:
            return "nowhere";
    }
}

}  // namespace

namespace {

// Puts the rate and the audio length into the stream headers found through the header list
// at the start of head (never by a search that could land in frame data), with put(offset,
// value). False when an audio length is asked for and there is no audio stream header.
template <typename Put>
bool patchHeaderList(const std::vector<char>& head, std::uint32_t rateNum, std::uint32_t rateDen,
                     std::uint64_t audioFrames, Put put) {
    bool audioFound = false;
    const std::size_t n = head.size();
    if (n >= 24 && detail::is(&head[12], "LIST") && detail::is(&head[20], "hdrl")) {
        const std::size_t end = std::min<std::size_t>(n, 20 + std::size_t{detail::u32(&head[16])});
        for (const auto& s : avi::format::readHeaderList(&head[24], end - 24, 24).streams) {
            if (s.video() && rateDen != 0) {
                put(s.headerAt + 20, rateDen);  // dwScale
                put(s.headerAt + 24, rateNum);  // dwRate
            } else if (s.audio() && audioFrames <= UINT32_MAX && !audioFound) {
                put(s.headerAt + 32, static_cast<std::uint32_t>(audioFrames));  // dwLength
                audioFound = true;
            }
        }
    }
    return audioFound || audioFrames > UINT32_MAX;
}

}  // namespace

bool patchStreamHeaders(avi::IFileHandler& h, void* handle, std::uint32_t rateNum, std::uint32_t rateDen,
                        std::uint64_t audioFrames) {
    std::vector<char> head(4u << 20);
    if (h.setFilePos(handle, 0) != 0) return false;
    head.resize(h.fread(head.data(), 1, head.size(), handle));
    bool ok = true;
    const bool found = patchHeaderList(head, rateNum, rateDen, audioFrames, [&](std::uint64_t at, std::uint32_t v) {
        char b[4];
        avi::fcns::putUint32(b, v);
        ok = ok && h.setFilePos(handle, at) == 0 && h.fwrite(b, 1, 4, handle) == 4;
    });
    return ok && found;
}

bool patchStreamHeaders(const std::string& path, std::uint32_t rateNum, std::uint32_t rateDen,
                        std::uint64_t audioFrames) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) return path.find(":/") != std::string::npos;  // a remote file keeps the writer's values
    std::vector<char> head(4u << 20);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    bool ok = true;
    const bool found = patchHeaderList(head, rateNum, rateDen, audioFrames, [&](std::uint64_t at, std::uint32_t v) {
        char b[4];
        avi::fcns::putUint32(b, v);
        ok = ok && std::fseek(f, static_cast<long>(at), SEEK_SET) == 0 && std::fwrite(b, 1, 4, f) == 4;
    });
    return std::fclose(f) == 0 && ok && found;
}

std::string checkEntry(avi::IFileHandler& handler, void* handle, const avi::IndexEntry& e, std::uint32_t stream,
                       bool video) {
    const std::uint64_t data = e.getAbsolutePosition();
    char h[8] = {};
    bool isVideo = false;
    const bool read = data >= 8 && handler.setFilePos(handle, data - 8) == 0 && handler.fread(h, 1, 8, handle) == 8;
    const std::uint32_t stored = detail::u32(h + 4), want = e.getSize();
    // The movi scan files sizes rounded up to even.
    if (read && detail::dataStream(h, isVideo) == static_cast<int>(stream) && isVideo == video &&
        (stored == want || stored + (stored & 1) == want))
        return std::string();
    std::ostringstream s;
    s << "points at offset " << data;
    if (!read)
        s << ", beyond the file";
    else
        s << ", where a chunk '" << idText(h) << "' of " << stored << " bytes stands, not "
          << (video ? "a video" : "an audio") << " chunk of " << want << " bytes";
    return s.str();
}

void verifyEntries(avi::IFileHandler& handler, void* handle, const std::vector<avi::IndexEntry>& index,
                   std::uint32_t stream, bool video, std::uint64_t maxEntries, IndexCheck& out) {
    for (std::size_t i = 0; i < index.size() && i < maxEntries; ++i) {
        ++out.entries;
        const std::string why = checkEntry(handler, handle, index[i], stream, video);
        if (why.empty() || ++out.mismatches > 5) continue;
        out.first.push_back(std::string(video ? "video" : "audio") + " entry " + std::to_string(i) + " " + why);
    }
}

IndexCheck verifyIndex(const std::string& path, std::uint64_t maxEntries) {
    IndexCheck out;
    avi::internal::FileBridge f;
    if (!f.open(path.c_str(), "r")) return out;
    out.opened = true;
    verifyEntries(*f.handler(), f.handle(), f.videoEntries(), f.videoStream(), true, maxEntries, out);
    verifyEntries(*f.handler(), f.handle(), f.audioEntries(), f.audioStream(), false, maxEntries, out);
    return out;
}

std::string describe(const Report& r) {
    std::ostringstream o;
    const Params& p = r.params;
    o << "  file:        " << r.fileSize << " bytes, " << r.segments << " RIFF segment(s)"
      << (r.cut ? ", cut inside a chunk" : "") << "\n";
    o << "  parameters:  from " << sourceName(p.source) << "\n";
    if (p.video)
        o << "  video:       " << r.videoChunks << " chunk(s), " << r.droppedFrames
          << " of them empty (dropped frames); " << p.width << "x" << p.height << ", " << p.bits << " bits, "
          << (p.fourcc.empty() ? "uncompressed" : p.fourcc) << ", " << p.fps << " fps\n";
    if (p.audio)
        o << "  audio:       " << r.audioChunks << " chunk(s); " << p.sampleRate << " Hz, " << p.sampleBits << " bits, "
          << p.channels << " channel(s)\n";
    o << "  skipped:     " << r.skippedChunks << " chunk(s)";
    if (r.recGroups) o << "; " << r.recGroups << " 'rec ' group(s) read through";
    o << "\n  unaccounted: " << r.unaccounted << " bytes (" << r.resyncs << " search(es) for the next chunk)\n";
    o << "  idx1:        ";
    switch (r.idx1) {
        case IndexState::Absent:
            o << "none\n";
            break;
        case IndexState::Agrees:
            o << "agrees with the data (" << r.idx1Entries << " entries)\n";
            break;
        case IndexState::Absolute:
            o << "offsets are absolute file positions (" << r.idx1Entries << " entries); not as readers expect\n";
            break;
        case IndexState::Disagrees:
            o << "disagrees with the data: " << r.idx1Hits << " of " << r.idx1Entries << " entries land on a chunk\n";
            break;
    }
    if (r.ixEntries > 0)
        o << "  ix##:        " << (r.ixHits == r.ixEntries ? "agree with the data (" : "disagree with the data: ")
          << (r.ixHits == r.ixEntries ? "" : std::to_string(r.ixHits) + " of ") << r.ixEntries << " entries"
          << (r.ixHits == r.ixEntries ? ")\n" : " land on a chunk\n");
    for (const auto& n : r.notes) o << "  note:        " << n << "\n";
    return o.str();
}

bool repair(const std::string& in, const std::string& out, const Hints& hints, bool overwrite, Report& r,
            std::string& error, avi::IFileHandler* source) {
    if (!overwrite && exists(out)) {
        error = out + " exists (use -y to overwrite)";
        return false;
    }
    avi::LocalFileHandler local;
    avi::IFileHandler& handler = source != nullptr ? *source : local;
    void* handle = handler.fopen(strutil::filesystem::codecvt_narrow_string_to_ustring(true)(in), "rb");
    if (handle == nullptr) {
        error = "cannot open " + in;
        return false;
    }
    r = scan(handler, handle, hints, source != nullptr ? std::string() : in + ".recovery.json");
    const Params& p = r.params;
    if (r.chunks.empty()) {
        handler.fclose(handle);
        error = "nothing recovered from " + in;
        return false;
    }
    detail::Bytes bytes(handler, handle);
    avi::internal::FileBridge w;
    const std::uint32_t align = std::max(1u, p.channels * p.sampleBits / 8);
    std::uint32_t audioChunk = 0;
    std::vector<char> audio;
    bool ok = w.open(out.c_str(), "w");
    // A stream is declared only when data of it was recovered: a file may keep its audio alone.
    const bool hasVideo =
        std::any_of(r.chunks.begin(), r.chunks.end(), [](const Chunk& c) { return c.video && c.size > 0; });
    const bool hasAudio = std::any_of(r.chunks.begin(), r.chunks.end(), [](const Chunk& c) { return !c.video; });
    if (ok && hasVideo) {
        w.setVideoInfo(p.width, p.height, p.fps, p.fourcc, p.bits);
        if (p.bits == 8) {
            // Without a stored palette the reader's default, a grey ramp, is what the frames meant.
            std::vector<avi::tagRGBQUAD> palette(p.palette.empty() ? 256 : p.palette.size() / 4);
            for (std::size_t i = 0; i < palette.size(); ++i) {
                const auto g = static_cast<std::uint8_t>(i);
                palette[i] = p.palette.empty()
                                 ? avi::tagRGBQUAD{g, g, g, 0}
                                 : avi::tagRGBQUAD{p.palette[4 * i], p.palette[4 * i + 1], p.palette[4 * i + 2], 0};
            }
            w.setColormap(palette);
        }
    }
    if (ok && hasAudio) {
        // Chunks of the size the file used, whole sample frames.
        const auto first = std::find_if(r.chunks.begin(), r.chunks.end(), [](const Chunk& c) { return !c.video; });
        audioChunk = std::max(align, first->size - first->size % align);
        w.setAudioInfo(p.sampleRate, p.sampleBits, p.channels, audioChunk);
    }
    std::vector<char> pending;  // audio bytes not yet written
    auto flushAudio = [&](bool all) {
        std::size_t at = 0;
        for (; at + audioChunk <= pending.size() || (all && at < pending.size()); at += audioChunk) {
            audio.assign(pending.begin() + static_cast<std::ptrdiff_t>(at),
                         pending.begin() + static_cast<std::ptrdiff_t>(std::min(pending.size(), at + audioChunk)));
            const auto n = static_cast<std::uint32_t>(audio.size());
            audio.resize(audioChunk + 1u);
            if (n == audioChunk)
                w.writeAudio(audio.data());
            else
                w.writeAudioTail(audio.data(), n);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(std::min(at, pending.size())));
    };
    const std::uint64_t rowBytes = detail::rowStride(p.width, p.bits);
    std::vector<char> data, last, row;
    for (const Chunk& c : r.chunks) {
        if (!ok || w.getErrorCode() != avi::errors::ERR_NONE) break;
        data.resize(c.size + 1u);
        if (!bytes.readAll(c.offset, data.data(), c.size)) {
            ok = false;
            error = "cannot read " + in;
            break;
        }
        if (!c.video) {
            pending.insert(pending.end(), data.begin(), data.begin() + c.size);
            flushAudio(false);
            continue;
        }
        if (c.size == 0) {  // a dropped frame: repeat the one before, so later frames keep their time
            if (!last.empty()) w.writeVideoFrame(last.data(), static_cast<unsigned>(last.size()));
            continue;
        }
        if (p.topDown && p.fourcc.empty()) {  // the writer declares bottom-up rows
            row.resize(rowBytes);
            for (std::uint64_t a = 0, b = (p.height - 1) * rowBytes; a < b; a += rowBytes, b -= rowBytes) {
                std::copy_n(data.data() + a, rowBytes, row.data());
                std::copy_n(data.data() + b, rowBytes, data.data() + a);
                std::copy_n(row.data(), rowBytes, data.data() + b);
            }
        }
        last.assign(data.begin(), data.begin() + c.size);
        w.writeVideoFrame(data.data(), c.size);
    }
    if (ok && hasAudio) flushAudio(true);
    handler.fclose(handle);
    if (ok && w.getErrorCode() != avi::errors::ERR_NONE) {
        ok = false;
        error = out + ": error " + std::to_string(w.getErrorCode()) + ": " + w.getErrorMsg();
    }
    w.close();
    std::uint64_t audioBytes = 0;
    for (const Chunk& c : r.chunks) audioBytes += c.video ? 0 : c.size;
    if (ok && hasAudio && w.getErrorCode() == avi::errors::ERR_NONE &&
        !patchStreamHeaders(out, 0, 0, std::min<std::uint64_t>(audioBytes / align, UINT32_MAX))) {
        ok = false;
        error = "cannot complete the header of " + out;
    }
    if (ok && w.getErrorCode() != avi::errors::ERR_NONE) {
        ok = false;
        error = out + ": error " + std::to_string(w.getErrorCode()) + ": " + w.getErrorMsg();
    }
    if (!ok) {
        if (error.empty()) error = "cannot write " + out;
        ::unlink(out.c_str());
    }
    return ok;
}

}  // namespace salvage
