// The tolerant chunk walker: every RIFF segment, chunk by chunk, with a search for the next
// plausible chunk header wherever the structure breaks.
#include <algorithm>
#include <memory>

#include "avi/LocalFileHandler.h"
#include "detail.h"
#include "strutil/strutil.h"

namespace salvage {
namespace detail {

namespace {

// Headers are small; anything larger is not a header list.
const std::uint64_t MAX_HEADER_LIST = 64u << 20;
const int MAX_DEPTH = 8;

using avi::format::printable;

class Walker {
public:
    Walker(Bytes& in, Report& r) : in_(in), r_(r) {}

    void run(std::uint64_t begin, std::uint64_t end) {
        r_.fileSize = in_.size();
        walk(begin, end, 0);
    }
    std::vector<Found> found;
    std::vector<std::uint64_t> headers;  // chunk header offsets of the data chunks found
    std::uint64_t firstMovi = 0;         // offset of the first movi list's form type
    std::uint64_t idx1Pos = 0, idx1Size = 0;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> ix;  // OpenDML standard index chunks: data, size

private:
    Bytes& in_;
    Report& r_;

    // A header at pos the search may stop at: a known id whose data fits in the file, and
    // behind it another header, or the end of the range.
    // strict: the end of the range does not stand in for the next header.
    bool strongHeader(std::uint64_t pos, std::uint64_t end, int hops, bool strict = false) {
        char h[12];
        if (!in_.readAll(pos, h, 12) && !(pos + 8 <= in_.size() && in_.readAll(pos, h, 8))) return false;
        bool video;
        const bool known = dataStream(h, video) >= 0 || is(h, "idx1") || is(h, "JUNK") ||
                           (h[0] == 'i' && h[1] == 'x' && h[2] >= '0' && h[2] <= '9') ||
                           (is(h, "LIST") && (is(h + 8, "movi") || is(h + 8, "rec "))) ||
                           (is(h, "RIFF") && is(h + 8, "AVIX"));
        if (!known) return false;
        const std::uint64_t size = u32(h + 4);
        if (is(h, "LIST") || is(h, "RIFF")) return size >= 4 && (hops > 0 || strongHeader(pos + 12, end, 1));
        const std::uint64_t next = pos + 8 + size;
        // Behind a chunk that fits, one the file ends inside still vouches for it: a cut.
        if (next > in_.size()) return hops > 0;
        if (hops > 0) return true;
        if (next >= end || next + 8 > in_.size()) return !strict;
        return strongHeader(next + (size & 1), end, hops + 1) || strongHeader(next, end, hops + 1);
    }

    // The next position in [from, end) where a strong header stands, else end.
    std::uint64_t find(std::uint64_t from, std::uint64_t end, bool strict = false) {
        std::vector<char> block(1 << 16);
        for (std::uint64_t base = from; base + 8 <= end; base += block.size() - 8) {
            const std::size_t got = in_.read(base, block.data(), block.size());
            if (got < 8) break;
            for (std::size_t i = 0; i + 8 <= got && base + i + 8 <= end; ++i) {
                const char* p = block.data() + i;
                bool video;
                const bool candidate = dataStream(p, video) >= 0 || is(p, "LIST") || is(p, "RIFF") || is(p, "idx1") ||
                                       is(p, "JUNK") || (p[0] == 'i' && p[1] == 'x');
                if (candidate && strongHeader(base + i, end, 0, strict)) return base + i;
            }
            if (got < block.size()) break;
        }
        return end;
    }

    void damage(std::uint64_t& pos, std::uint64_t end) {
        ++r_.resyncs;
        const std::uint64_t next = find(pos + 1, end);
        r_.unaccounted += next - pos;
        pos = next;
    }

    void header(std::uint64_t from, std::uint64_t end) {
        if (r_.header || end - from > MAX_HEADER_LIST) return;
        std::vector<char> list(static_cast<std::size_t>(end - from));
        list.resize(in_.read(from, list.data(), list.size()));
        Params p;
        if (parseHeaderList(list, p)) {
            r_.params = p;
            r_.header = true;
        }
    }

    void walk(std::uint64_t pos, std::uint64_t end, int depth) {
        const std::uint64_t fileEnd = in_.size();
        while (pos + 8 <= end) {
            char h[12] = {};
            in_.read(pos, h, 12);
            const std::uint32_t size = u32(h + 4);
            const std::uint64_t dataEnd = pos + 8 + size;
            const std::uint64_t next = dataEnd + (size & 1);
            bool video = false;
            const int stream = dataStream(h, video);
            const bool container = is(h, "RIFF") || is(h, "LIST");
            const bool known =
                stream >= 0 || container || is(h, "idx1") || is(h, "JUNK") || (h[0] == 'i' && h[1] == 'x');
            if (!printable(h) || (dataEnd > end && !(container || (known && dataEnd > fileEnd)))) {
                damage(pos, end);  // not a chunk id, or a size that overruns its list
                continue;
            }
            if (container && depth < MAX_DEPTH) {
                // A segment or movi list whose size was never filled in runs to the end of what holds it.
                const bool open = size < 4 && (is(h, "RIFF") || is(h + 8, "movi"));
                // Only a movi list (or a segment) may run past its parent: the file was cut in it.
                const bool cutOpen = is(h, "RIFF") || is(h + 8, "movi") || is(h + 8, "rec ");
                if ((size < 4 && !open) || (dataEnd > end && !cutOpen)) {
                    damage(pos, end);
                    continue;
                }
                const std::uint64_t listEnd = open ? end : std::min(dataEnd, end);
                if (dataEnd > fileEnd) r_.cut = true;
                if (is(h, "RIFF")) {
                    ++r_.segments;
                    walk(pos + 12, listEnd, depth + 1);
                } else if (is(h + 8, "hdrl")) {
                    header(pos + 12, listEnd);
                } else if (is(h + 8, "movi") || is(h + 8, "rec ")) {
                    if (is(h + 8, "movi") && firstMovi == 0) firstMovi = pos + 8;
                    if (is(h + 8, "rec ")) ++r_.recGroups;
                    walk(pos + 12, listEnd, depth + 1);
                }
                pos = open || listEnd < dataEnd ? listEnd : next;
                continue;
            }
            if (container && size >= 4 && dataEnd <= end) {  // nested too deep to be looked into
                r_.unaccounted += next - pos;
                pos = next;
                continue;
            }
            // A size beyond the end of the file: a lie when chunks follow, else the file was cut here.
            if (stream >= 0 && dataEnd > fileEnd && find(pos + 8, end, true) < end) {
                damage(pos, end);
                continue;
            }
            if (dataEnd > fileEnd) {
                r_.cut = true;
                if (stream >= 0) keep(pos, size, stream, video, true);
                r_.unaccounted += fileEnd - pos;
                return;
            }
            if (stream >= 0) keep(pos, size, stream, video, false);
            if (h[0] == 'i' && h[1] == 'x' && size >= 24) ix.push_back({pos + 8, size});
            if (is(h, "idx1") && idx1Pos == 0) {
                idx1Pos = pos + 8;
                idx1Size = size;
            }
            // A writer that left odd-sized chunks unpadded: follow the header that is there.
            pos = (size & 1) && next + 8 <= end && !strongHeader(next, end, 1) && strongHeader(dataEnd, end, 1)
                      ? dataEnd
                      : next;
        }
        if (pos < end) r_.unaccounted += end - pos;
    }

    void keep(std::uint64_t pos, std::uint32_t size, int stream, bool video, bool partial) {
        found.push_back(
            {pos + 8, partial ? static_cast<std::uint32_t>(in_.size() - pos - 8) : size, size, stream, video, partial});
        headers.push_back(pos);
    }
};

// Index entries landing on the chunks found: relative to the first movi list, or absolute.
void checkIdx1(Bytes& in, const Walker& w, Report& r) {
    if (w.idx1Pos == 0) return;
    std::vector<char> block(16 * 4096);
    std::uint64_t rel = 0, abs = 0;
    // A file whose header was never written has no movi list: its first chunk stands 4 bytes
    // behind where the list's form type would be.
    const std::uint64_t movi =
        w.firstMovi != 0 || w.headers.empty() || w.headers[0] < 4 ? w.firstMovi : w.headers[0] - 4;
    for (std::uint64_t at = 0; at + 16 <= w.idx1Size;) {
        const std::size_t got =
            in.read(w.idx1Pos + at, block.data(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), w.idx1Size - at)));
        if (got < 16) break;
        for (std::size_t i = 0; i + 16 <= got; i += 16) {
            bool video;
            if (dataStream(block.data() + i, video) < 0) continue;
            const std::uint64_t off = u32(block.data() + i + 8);
            ++r.idx1Entries;
            rel += std::binary_search(w.headers.begin(), w.headers.end(), movi + off);
            abs += std::binary_search(w.headers.begin(), w.headers.end(), off);
        }
        at += got - got % 16;
    }
    if (r.idx1Entries == 0) return;
    r.idx1Hits = std::max(rel, abs);
    r.idx1 = rel == r.idx1Entries   ? IndexState::Agrees
             : abs == r.idx1Entries ? IndexState::Absolute
                                    : IndexState::Disagrees;
    if (r.idx1 == IndexState::Absolute)
        r.notes.push_back("idx1 offsets are absolute file positions; readers taking them as relative get wrong bytes");
}

// Entries of the OpenDML standard indexes landing on the chunks found.
void checkStandardIndexes(Bytes& in, const Walker& w, Report& r) {
    std::vector<char> chunk;
    for (const auto& c : w.ix) {
        if (c.second > MAX_HEADER_LIST) continue;
        chunk.resize(c.second);
        if (!in.readAll(c.first, chunk.data(), chunk.size()) || chunk[3] != 1) continue;
        const std::uint64_t base = avi::fcns::char2uint64(chunk.data() + 12);
        const std::uint64_t n = std::min<std::uint64_t>(u32(chunk.data() + 4), (c.second - 24) / 8);
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t data = base + u32(chunk.data() + 24 + 8 * i);
            ++r.ixEntries;
            r.ixHits += data >= 8 && std::binary_search(w.headers.begin(), w.headers.end(), data - 8);
        }
    }
}

// Assigns the found chunks to the video and audio streams and drops what cannot be used.
void settle(const std::vector<Found>& found, Report& r) {
    Params& p = r.params;
    for (const Found& f : found) {
        const int stream = f.stream;
        // A stream the header did not describe (or described unreadably) is the first one met.
        if (f.video && p.videoStream < 0) p.videoStream = stream;
        if (!f.video && p.audioStream < 0) p.audioStream = stream;
    }
    const bool videoFound = std::any_of(found.begin(), found.end(), [](const Found& f) { return f.video; });
    if (videoFound && !p.video && !r.header)
        r.notes.push_back("video chunks but no header or side file: give --size WxH --fps R (--bits N, --audio R:B:C)");
    const std::uint64_t frameBytes = p.fourcc.empty() ? rowStride(p.width, p.bits) * p.height : 0;
    const std::uint32_t align = std::max(1u, p.channels * p.sampleBits / 8);
    for (const Found& f : found) {
        const bool partial = f.partial;
        const int stream = f.stream;
        Chunk c{f.offset, f.size, f.video};
        bool use = f.video ? p.video && stream == p.videoStream : p.audio && p.audioPcm && stream == p.audioStream;
        if (use && f.video && (partial || (frameBytes != 0 && f.size != 0 && f.size != frameBytes))) use = false;
        if (use && !f.video && partial) c.size -= c.size % align;
        if (!use || (partial && c.size == 0)) {
            ++r.skippedChunks;
            continue;
        }
        if (f.video) {
            ++r.videoChunks;
            if (f.size == 0) ++r.droppedFrames;
        } else {
            ++r.audioChunks;
        }
        r.chunks.push_back(c);
    }
}

}  // namespace

std::vector<Found> walk(Bytes& in, std::uint64_t begin, std::uint64_t end, Report& r) {
    Walker w(in, r);
    w.run(begin, end);
    return std::move(w.found);
}

Report scanBytes(Bytes& in, const Hints& hints, const std::string& sideFile) {
    Report r;
    Walker w(in, r);
    w.run(0, in.size());
    checkIdx1(in, w, r);
    checkStandardIndexes(in, w, r);
    applySideFileAndHints(sideFile, hints, r);
    settle(w.found, r);
    return r;
}

}  // namespace detail

Report scan(avi::IFileHandler& handler, void* handle, const Hints& hints, const std::string& sideFile) {
    detail::Bytes in(handler, handle);
    return detail::scanBytes(in, hints, sideFile);
}

Report scan(const std::string& path, const Hints& hints) {
    avi::LocalFileHandler handler;
    void* handle = handler.fopen(strutil::filesystem::codecvt_narrow_string_to_ustring(true)(path), "rb");
    if (handle == nullptr) {
        Report r;
        r.notes.push_back("cannot open " + path);
        return r;
    }
    Report r = scan(handler, handle, hints, path + ".recovery.json");
    handler.fclose(handle);
    return r;
}

}  // namespace salvage
