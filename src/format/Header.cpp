#include "format/Header.h"

#include <algorithm>

#include "avi/fcns.h"
#include "format/ChunkId.h"
#include "format/ChunkReader.h"
#include "format/Records.h"

namespace avi::format {

bool StreamList::bitmap(BitmapInfoHeader& b, std::vector<tagRGBQUAD>* palette) const {
    if (format.size() < BITMAP_HEADER_SIZE) return false;
    decodeBitmapHeader(format.data(), b);
    if (palette != nullptr)
        *palette = decodePalette(format.data() + BITMAP_HEADER_SIZE, (format.size() - BITMAP_HEADER_SIZE) / 4);
    return true;
}

bool StreamList::wave(WaveFormatEx& w) const {
    if (format.size() < 16) return false;
    decodeWaveFormat(format.data(), format.size(), w);
    return true;
}

namespace {

// The data of c that its list holds: all of it, unless the list (or the bytes) end inside it.
std::vector<char> dataOf(const char* bytes, const ChunkReader& list, const Chunk& c) {
    const std::uint64_t end = std::min(list.end(), list.source().size());
    const std::uint64_t from = std::min(c.data(), end), to = std::min(c.dataEnd(), end);
    return std::vector<char>(bytes + from, bytes + to);
}

void readStreamList(ChunkReader strl, const char* bytes, std::uint64_t at, HeaderList& out) {
    StreamList s;
    Chunk c;
    for (;;) {
        const Status st = strl.next(c);
        if (st == Status::End) break;
        if (st == Status::ShortHeader) {
            out.damaged = true;
            break;
        }
        std::vector<char> d = dataOf(bytes, strl, c);
        if (c.is("strh") && !s.hasHeader && d.size() >= 48) {
            decodeStreamHeader(d.data(), d.size(), s.header);
            s.hasHeader = true;
            s.headerAt = at + c.data();
        } else if (c.is("strf") && s.format.empty()) {
            s.format = std::move(d);
        } else if (c.is("indx") && s.index.empty()) {
            s.index = std::move(d);
        }
        if (st != Status::Ok) {  // the rest of the list cannot be found
            out.damaged = true;
            break;
        }
    }
    out.streams.push_back(std::move(s));
}

}  // namespace

HeaderList readHeaderList(const char* bytes, std::size_t n, std::uint64_t at) {
    HeaderList out;
    Source source(bytes, n);
    ChunkReader hdrl(source, 0, n);
    Chunk c;
    for (;;) {
        const Status st = hdrl.next(c);
        if (st == Status::End) break;
        if (st == Status::ShortHeader) {
            out.damaged = true;
            break;
        }
        if (c.is("avih") && !out.hasMain) {
            // Fields a short header lacks stay 0.
            char d[MAIN_HEADER_SIZE] = {};
            const std::vector<char> data = dataOf(bytes, hdrl, c);
            std::copy_n(data.begin(), std::min<std::size_t>(data.size(), MAIN_HEADER_SIZE), d);
            decodeMainHeader(d, out.main);
            out.hasMain = true;
        } else if (c.isList("strl")) {
            readStreamList(hdrl.list(c), bytes, at, out);
        }
        if (st != Status::Ok) {  // a cut list is read as far as it goes, and no further
            out.damaged = true;
            break;
        }
    }
    return out;
}

TopLevel readTopLevel(Source& in) {
    TopLevel t;
    ChunkReader file(in, 0, in.size());
    Chunk riff;
    Status st;
    for (; (st = file.next(riff)) != Status::End && riff.is("RIFF") && t.segments.size() < 100000;) {
        t.segments.push_back(riff.offset);
        t.end = riff.next();
        if (st != Status::Ok) t.cut = true;
        if (t.segments.size() == 1 && riff.isList("AVI ")) {
            t.riff = true;
            // A size that was never filled in runs to the end of the file.
            if (riff.size < 4 || riff.size == 0xFFFFFFFFu) riff.size = static_cast<std::uint32_t>(in.size() - 8);
            ChunkReader top(in, 12, riff.dataEnd());
            Chunk c;
            for (Status s; (s = top.next(c)) != Status::End && s != Status::ShortHeader;) {
                if (c.isList("hdrl") && !t.hasHdrl) t.hdrl = c, t.hasHdrl = true;
                if (c.isList("movi") && !t.hasMovi) t.movi = c, t.hasMovi = true;
                if (c.is("idx1") && s == Status::Ok && !t.hasIdx1) t.idx1 = c, t.hasIdx1 = true;
                if (s != Status::Ok) {
                    t.cut = t.cut || c.dataEnd() > in.size();
                    break;
                }
            }
            if (riff.dataEnd() >= in.size()) break;  // nothing can follow an open segment
        }
        if (st != Status::Ok) break;
    }
    if (st != Status::End && !riff.is("RIFF") && riff.offset == t.end && !t.segments.empty()) {
        const ChunkKind k = classify(riff.id);
        t.goesOn = k.kind == Kind::Video || k.kind == Kind::Audio || k.kind == Kind::Index;
    }
    return t;
}

HeaderList readHeaderList(Source& in, const TopLevel& top) {
    if (!top.hasHdrl || top.hdrl.size < 4) return HeaderList();
    const std::uint64_t from = top.hdrl.data() + 4, most = 64u << 20;
    const std::uint64_t n = std::min({std::uint64_t{top.hdrl.size} - 4, in.size() - std::min(in.size(), from), most});
    std::vector<char> bytes(static_cast<std::size_t>(n));
    bytes.resize(in.read(from, bytes.data(), bytes.size()));
    return readHeaderList(bytes.data(), bytes.size(), from);
}

}  // namespace avi::format
