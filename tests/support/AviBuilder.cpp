#include "AviBuilder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace avitest {

namespace {

struct Placed {
    std::size_t segment, stream, at;  // at: the chunk header
    std::string id;
    std::uint32_t size;
    bool key;
};

struct Writer {
    std::string b;
    std::vector<Placed> placed;
    std::size_t streams = 0;

    Writer& u16(std::uint16_t v) {
        return b.push_back(static_cast<char>(v)), b.push_back(static_cast<char>(v >> 8)), *this;
    }
    Writer& u32(std::uint32_t v) { return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16)); }
    Writer& u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v)).u32(static_cast<std::uint32_t>(v >> 32)); }
    Writer& raw(const std::string& s) { return b += s, *this; }
    void put32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<char>(v >> (8 * i));
    }
    // Opens a RIFF or LIST; close(at) fills in its size.
    std::size_t open(const char* id, const std::string& type) {
        raw(id).u32(0).raw(type);
        return b.size() - 12;
    }
    void close(std::size_t at) { put32(at + 4, static_cast<std::uint32_t>(b.size() - at - 8)); }
    // A chunk; returns where its data starts.
    std::size_t chunk(const std::string& id, const std::string& data, std::int64_t size = -1, bool pad = true) {
        const std::size_t at = b.size() + 8;
        raw(id).u32(static_cast<std::uint32_t>(size < 0 ? data.size() : size)).raw(data);
        if (pad && data.size() % 2) b.push_back(0);
        return at;
    }
    void movi(std::size_t segment, const std::vector<Chunk>& items) {
        for (const Chunk& c : items) {
            if (c.id.empty()) {
                raw(c.data);
            } else if (!c.list.empty()) {
                const std::size_t at = open("LIST", c.id);
                movi(segment, c.list);
                close(at);
            } else {
                const bool digits = std::isdigit(static_cast<unsigned char>(c.id[0])) &&
                                    std::isdigit(static_cast<unsigned char>(c.id[1]));
                const std::size_t stream = digits ? std::stoul(c.id.substr(0, 2)) : streams;
                placed.push_back({segment, stream, b.size(), c.id, static_cast<std::uint32_t>(c.data.size()), c.key});
                chunk(c.id, c.data, c.size, c.pad);
            }
        }
    }
};

std::string streamId(const std::vector<Stream>& streams, std::size_t s) {
    const Stream& t = streams[s];
    return std::string{static_cast<char>('0' + s / 10), static_cast<char>('0' + s % 10)} + (t.audio         ? "wb"
                                                                                            : t.compression ? "dc"
                                                                                                            : "db");
}

struct SuperEntry {
    std::uint64_t at;
    std::uint32_t size, duration;
};
std::string superIndex(const std::string& id, const std::vector<SuperEntry>& entries) {
    Writer w;
    w.u16(4).u16(0).u32(static_cast<std::uint32_t>(entries.size())).raw(id).u32(0).u32(0).u32(0);
    for (const auto& e : entries) w.u64(e.at).u32(e.size).u32(e.duration);
    return w.b;
}

}  // namespace

std::vector<Chunk> interleave(unsigned first, unsigned end, const Content& video, const Content& audio,
                              const std::string& videoId) {
    std::vector<Chunk> out;
    for (unsigned i = first; i < end; ++i) {
        out.push_back({videoId, video(i)});
        if (audio) out.push_back({"01wb", audio(i)});
    }
    return out;
}

Patch::Patch(std::string from, std::int64_t by, std::uint32_t value) : at(from), delta(by) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
}

std::size_t find(const Bytes& b, const std::string& id, std::size_t from) {
    return static_cast<std::size_t>(
        std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), id.begin(), id.end()) - b.begin());
}

Bytes build(const Avi& a, const std::vector<Patch>& damage, std::int64_t cut) {
    Writer w;
    w.streams = a.streams.size();
    const std::size_t riff = w.open("RIFF", "AVI "), hdrl = w.open("LIST", "hdrl");
    const Stream* v = nullptr;
    for (const Stream& s : a.streams) v = v ? v : s.audio ? nullptr : &s;
    const auto width = static_cast<std::uint32_t>(v ? v->w : 0),
               height = static_cast<std::uint32_t>(v ? std::abs(v->h) : 0);
    const std::size_t avih = w.chunk("avih", std::string(56, '\0'));
    w.put32(avih, 40000), w.put32(avih + 12, 0x10), w.put32(avih + 24, static_cast<std::uint32_t>(a.streams.size()));
    w.put32(avih + 32, width), w.put32(avih + 36, height);
    std::vector<std::size_t> strh, indx;
    const std::size_t room = a.nested ? 1 : a.segments.size();
    for (std::size_t s = 0; s < a.streams.size(); ++s) {
        const Stream& t = a.streams[s];
        const std::size_t strl = w.open("LIST", "strl");
        Writer h;
        h.raw(t.audio ? "auds" : "vids").raw("    ").u32(0).u32(0).u32(0).u32(1).u32(t.audio ? 8000 : 25).u32(0);
        h.u32(0).u32(0).u32(0).u32(t.audio ? 1 : 0).u16(1).u16(2).u16(3).u16(4);
        strh.push_back(w.chunk("strh", h.b));
        Writer f;
        const auto align = static_cast<std::uint16_t>(t.channels * t.bits / 8);
        if (t.audio) f.u16(1).u16(t.channels).u32(8000).u32(8000 * align).u16(align).u16(t.bits).u16(0);
        if (!t.audio) f.u32(40).u32(static_cast<std::uint32_t>(t.w)).u32(static_cast<std::uint32_t>(t.h)).u16(1);
        if (!t.audio) f.u16(t.bits).u32(t.compression).u32(0).u32(0).u32(0).u32(0).u32(0);
        w.chunk("strf", f.b);
        if (a.odml) indx.push_back(w.chunk("indx", superIndex(streamId(a.streams, s), std::vector<SuperEntry>(room))));
        w.close(strl);
    }
    w.close(hdrl);
    std::vector<std::vector<SuperEntry>> super(a.streams.size());
    for (std::size_t seg = 0; seg < a.segments.size(); ++seg) {
        const std::size_t top = seg ? w.open("RIFF", "AVIX") : riff, movi = w.open("LIST", "movi");
        w.movi(seg, a.segments[seg]);
        for (std::size_t s = 0; a.odml && seg < a.odmlSegments && s < a.streams.size(); ++s) {
            Writer ix;
            std::uint32_t n = 0;
            for (const Placed& p : w.placed)
                if (p.segment == seg && p.stream == s)
                    ++n, ix.u32(static_cast<std::uint32_t>(p.at + 8 - movi)).u32(p.size | (p.key ? 0 : 0x80000000u));
            Writer head;
            head.u16(2).u16(0x100).u32(n).raw(streamId(a.streams, s)).u64(movi).u32(0);
            super[s].push_back({w.b.size(), static_cast<std::uint32_t>(32 + ix.b.size()), n});
            w.chunk("ix" + streamId(a.streams, s).substr(0, 2), head.b + ix.b);
        }
        for (std::size_t s = 0; a.nested && seg + 1 == a.segments.size() && s < a.streams.size(); ++s) {
            const std::string body = superIndex(streamId(a.streams, s), super[s]);
            super[s] = {{w.b.size(), static_cast<std::uint32_t>(8 + body.size()), 0}};
            w.chunk("ix" + streamId(a.streams, s).substr(0, 2), body);
        }
        w.close(movi);
        if (seg == 0 && a.idx1 != Avi::NoIdx1) {
            std::vector<Idx1Entry> entries;
            for (const Placed& p : w.placed)
                if (p.segment == 0)
                    entries.push_back({p.id, p.key ? 0x10u : 0u,
                                       static_cast<std::uint32_t>(p.at - (a.idx1 == Avi::Relative ? movi + 8 : 0)),
                                       p.size});
            if (a.editIdx1) a.editIdx1(entries);
            Writer idx;
            for (const auto& e : entries) idx.raw(e.id).u32(e.flags).u32(e.offset).u32(e.size);
            w.chunk("idx1", idx.b);
        }
        w.close(top);
    }
    if (a.segments.empty()) w.close(riff);
    // The header's counts: frames of the first segment in avih, all of them in strh.
    std::vector<std::uint32_t> length(a.streams.size());
    std::uint32_t frames = 0;
    for (const Placed& p : w.placed) {
        if (p.stream >= a.streams.size()) continue;
        const Stream& t = a.streams[p.stream];
        length[p.stream] += t.audio ? p.size / std::max(1, t.channels * t.bits / 8) : 1;
        frames += &t == v && p.segment == 0;
    }
    w.put32(avih + 16, frames);
    for (std::size_t s = 0; s < a.streams.size(); ++s) {
        w.put32(strh[s] + 32, length[s]);
        if (!a.odml) continue;
        super[s].resize(room);
        const std::string body = superIndex(streamId(a.streams, s), super[s]);
        std::copy(body.begin(), body.end(), w.b.begin() + static_cast<std::ptrdiff_t>(indx[s]));
    }
    Bytes out(w.b.begin(), w.b.end());
    for (const Patch& p : damage) {
        const std::size_t at = p.at.empty() ? 0 : w.b.find(p.at);
        for (std::size_t i = 0; i < p.bytes.size(); ++i)
            out.at(static_cast<std::size_t>(at + p.delta) + i) = p.bytes[i];
    }
    if (cut != 0) out.resize(static_cast<std::size_t>(cut > 0 ? cut : static_cast<std::int64_t>(out.size()) + cut));
    return out;
}

}  // namespace avitest
