// Byte layout of written files: header room and filler, chunk placement and padding, the
// standard, super and legacy indexes, RIFF segmentation at 2 GiB (on a sparse in-memory
// file, so no test writes gigabytes) and the writer's configuration.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "AviBuilder.h"
#include "MemoryFileHandler.h"
#include "TestFile.h"

using avitest::fourcc;
using avitest::palette;
using avitest::SparseFileHandler;
using avitest::TestFile;
using avitest::u32;
using avitest::u64;
namespace err = avi::errors;
using Bytes = std::vector<char>;

namespace {

// A flat table of offsets (from base) and what is there: a FOURCC, or a little-endian u32.
struct V {
    std::int64_t n = 0;
    std::string s;
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
    V(T v) : n(static_cast<std::int64_t>(v)) {}
    V(const char* v) : s(v) {}
    V(std::string v) : s(std::move(v)) {}
};
void expectAt(const Bytes& b, std::uint64_t base, std::initializer_list<V> table) {
    for (auto it = table.begin(); it != table.end(); it += 2) {
        const std::uint64_t at = base + static_cast<std::uint64_t>(it->n);
        const V& want = *(it + 1);
        const std::string got = want.s.empty() ? std::to_string(u32(b, at)) : fourcc(b, at);
        EXPECT_EQ(got, want.s.empty() ? std::to_string(static_cast<std::uint32_t>(want.n)) : want.s) << "at " << it->n;
    }
}

// Every chunk and list in [from, to), in file order; a list by its form type.
struct Chunk {
    std::string id;
    std::uint64_t at;
    std::uint32_t size;
};
std::vector<Chunk> walk(const Bytes& b, std::uint64_t from = 0, std::uint64_t to = ~0ULL) {
    std::vector<Chunk> out;
    for (std::uint64_t p = from; p + 8 <= std::min<std::uint64_t>(to, b.size());) {
        const std::uint32_t size = u32(b, p + 4);
        const bool list = fourcc(b, p) == "RIFF" || fourcc(b, p) == "LIST";
        out.push_back({fourcc(b, list ? p + 8 : p), p, size});
        if (list)
            for (const auto& c : walk(b, p + 12, p + 8 + size)) out.push_back(c);
        p += 8ULL + size + (size & 1);
    }
    return out;
}
// The chunks with this id: n of them, or a failure and empty chunks to make up the count.
std::vector<Chunk> only(const std::vector<Chunk>& all, const std::string& id, std::size_t n = 1) {
    std::vector<Chunk> out;
    for (const auto& c : all)
        if (c.id == id) out.push_back(c);
    EXPECT_EQ(out.size(), n) << id;
    out.resize(std::max(out.size(), n), Chunk{"", 0, 0});
    return out;
}

struct MemWriter {
    std::shared_ptr<avitest::MemoryFileHandler> handler = std::make_shared<avitest::MemoryFileHandler>();
    TestFile f;
    MemWriter() { EXPECT_TRUE(f.openWith(handler, u"w.avi", "w")); }
    Bytes close() {
        f.close();
        return *handler->find(u"w.avi");
    }
};

}  // namespace

// Header room, filler and the first chunk for the stream combinations and super-index
// room, set before the streams or after them: the movi list must start exactly where the
// data was placed.
TEST(WriteLayout, HeaderRoomJunkAndFirstChunk) {
    const struct {
        const char* name;
        std::vector<std::string> streams;  // chunk ids, in the order configured
        unsigned long n;
        unsigned bits;
        std::size_t colours;
        int chunks;  // written for each stream
        std::uint32_t hdrl;
        std::int64_t junk;  // -1: no JUNK chunk
        bool late = false;  // super-index room set after the streams
    } cases[] = {
        {"video N=1", {"00db"}, 1, 24, 0, 1, 16 * 1 + 256, 0},
        {"video N=16", {"00db"}, 16, 24, 0, 2, 16 * 16 + 256, 16 * 15},
        {"video N=0 reserves one slot", {"00db"}, 0, 24, 0, 1, 16 + 256, 0},
        {"video default N", {"00db"}, 4096, 24, 0, 1, 65792, 16 * 4095},
        {"both N=1: exactly full", {"00db", "01wb"}, 1, 24, 0, 2, 32 + 492, -1},
        {"both N=16", {"00db", "01wb"}, 16, 24, 0, 1, 32 * 16 + 492, 32 * 16 - 40},
        {"audio N=16", {"00wb"}, 16, 0, 0, 3, 16 * 16 + 344, 16 * 15},
        {"8-bit, 256 colours, N=16", {"00db"}, 16, 8, 256, 2, 16 * 16 + 256 + 1024, 16 * 15},
        {"8-bit, 256 colours, N=1", {"00db"}, 1, 8, 256, 1, 16 + 256 + 1024, 0},
        {"audio first, 8-bit, 3 colours, N=2", {"00wb", "01db"}, 2, 8, 3, 1, 64 + 492 + 12, 24},
        {"both, no data, N=4", {"00db", "01wb"}, 4, 24, 0, 0, 32 * 4 + 492, 32 * 4 - 40},
        {"24-bit with a colormap set: no palette", {"00db"}, 16, 24, 5, 1, 16 * 16 + 256, 16 * 15},
        {"video N=2 set after the stream", {"00db"}, 2, 24, 0, 1, 2 * 16 + 256, 16, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemWriter w;
        if (!c.late) w.f.setNumSuperIndexEntries(c.n);
        for (const auto& id : c.streams)
            id[2] == 'w' ? w.f.setAudioInfo(8000.0, 8, 1, 100) : w.f.setVideoInfo(4, 2, 25.0, "", c.bits);
        if (c.late) w.f.setNumSuperIndexEntries(c.n);
        if (c.colours) w.f.setColormap(palette(c.colours));
        const std::vector<char> frame(64, 'v'), audio(100, 'a');
        for (int i = 0; i < c.chunks; ++i)
            for (const auto& id : c.streams)
                id[2] == 'w' ? w.f.writeAudio(audio.data()) : w.f.writeVideoFrame(frame.data());
        const auto b = w.close();
        ASSERT_EQ(w.f.getErrorCode(), err::ERR_NONE) << w.f.getErrorMsg();
        const auto all = walk(b);
        const auto junk = only(all, "JUNK", c.junk < 0 ? 0 : 1);
        EXPECT_EQ(junk.empty() ? -1 : std::int64_t{junk[0].size}, c.junk);
        EXPECT_EQ(junk.empty() ? c.hdrl + 20ULL : junk[0].at + 8 + junk[0].size, c.hdrl + 20ULL) << "JUNK ends hdrl";
        expectAt(b, 0,
                 {4, static_cast<std::int64_t>(b.size() - 8), 16, c.hdrl, 20 + c.hdrl, "LIST", 28 + c.hdrl, "movi"});
        EXPECT_EQ(fourcc(b, c.hdrl + 32), c.chunks ? c.streams[0] : "ix00");
        const std::size_t n = c.streams.size();
        const auto strl = only(all, "strl", n), strh = only(all, "strh", n), strf = only(all, "strf", n),
                   indx = only(all, "indx", n);
        EXPECT_EQ(u32(b, 32 + 24), c.streams.size()) << "streams in the main header";
        EXPECT_EQ(u32(b, only(all, "dmlh")[0].at + 8), c.streams[0] == "00wb" && c.streams.size() == 1 ? 0 : c.chunks);
        for (std::size_t s = 0; s < c.streams.size(); ++s) {
            const bool video = c.streams[s][2] == 'd';
            const std::uint32_t pal = video && c.bits == 8 ? 4 * static_cast<std::uint32_t>(c.colours) : 0;
            EXPECT_EQ(fourcc(b, strh[s].at + 8), video ? "vids" : "auds");
            EXPECT_EQ(strf[s].size, video ? 40 + pal : 128);
            EXPECT_EQ(strl[s].size, (video ? 164 : 252) + pal);
            EXPECT_EQ(u32(b, strf[s].at + 8 + 32), video ? c.colours : 0) << "colours used";
            const std::uint8_t green = palette(std::max<std::size_t>(c.colours, 1)).back().rgbGreen;  // last entry
            EXPECT_EQ(pal ? static_cast<std::uint8_t>(b[strf[s].at + 45 + pal]) : green, green);
            // One segment: one super-index entry, leading to the stream's standard index.
            const std::uint64_t ix = u64(b, indx[s].at + 32);
            expectAt(b, indx[s].at, {4, 40, 12, 1, 16, c.streams[s], 40, 32 + 8 * c.chunks});
            expectAt(b, ix, {0, "ix0" + std::to_string(s), 4, 24 + 8 * c.chunks, 16, c.streams[s], 20, c.hdrl + 28});
        }
    }
}

// Chunk placement with odd sizes, the whole header, and what every index says.
TEST(WriteLayout, OddChunksAndAllThreeIndexes) {
    MemWriter w;
    w.f.setNumSuperIndexEntries(4);
    w.f.setVideoInfo(8, 8, 10.0, "MJPG");
    w.f.setAudioInfo(22050.0, 8, 1, 4411);
    const auto data = avitest::pattern(5000, 1);
    w.f.writeVideoFrame(data.data(), 101);
    w.f.writeAudio(data.data());
    w.f.writeVideoFrame(data.data(), 100);
    w.f.writeAudio(data.data());
    w.f.writeVideoFrame(data.data(), 7);
    const auto b = w.close();
    ASSERT_EQ(w.f.getErrorCode(), err::ERR_NONE) << w.f.getErrorMsg();
    ASSERT_EQ(b.size(), 9918u);
    // The header: 620 bytes of room for two streams with four super-index slots each.
    expectAt(b, 0, {0,   "RIFF", 4,   9910,    8,   "AVI ",   12,  "LIST", 16,  620,    20,  "hdrl",  24,  "avih",
                    28,  56,     32,  100000,  44,  0x810,    48,  3,      56,  2,      60,  192,     64,  8,
                    68,  8,      88,  "LIST",  92,  164,      96,  "strl", 100, "strh", 104, 56,      108, "vids",
                    112, "DIB ", 128, 1000000, 132, 10000000, 140, 3,      144, 192,    164, "strf",  168, 40,
                    172, 40,     176, 8,       180, 8,        188, "MJPG", 212, "indx", 216, 40,      220, 4,
                    224, 1,      228, "00dc",  244, 9726,     248, 0,      252, 56,     256, 3,       260, "LIST",
                    264, 252,    268, "strl",  272, "strh",   276, 56,     280, "auds", 300, 194783,  304, 4294965150,
                    312, 8822,   316, 4411,    324, 1,        336, "strf", 340, 128,    344, 0x10001, 348, 22050,
                    352, 22050,  356, 0x80001, 472, "indx",   480, 4,      484, 1,      488, "01wb",  504, 9782,
                    512, 48,     516, 8822,    520, "LIST",   524, 16,     528, "odml", 532, "dmlh",  536, 4,
                    540, 3,      544, "JUNK",  548, 88,       640, "LIST", 644, 9182,   648, "movi"});
    // From the movi form type: chunks at even offsets with their unpadded sizes, the
    // standard indexes (video first; offsets point at the data), then idx1 (video, then
    // audio; flags 0).
    expectAt(b, 648, {4,      "00dc", 8,    101,    114,    "01wb", 118,  4411, 4534,   "00dc", 4538, 100,    4642,
                      "01wb", 4646,   4411, 9062,   "00dc", 9066,   7,    9078, "ix00", 9082,   48,   9086,   0x1000002,
                      9090,   3,      9094, "00dc", 9098,   648,    9102, 0,    9110,   12,     9114, 101,    9118,
                      4542,   9122,   100,  9126,   9070,   9130,   7,    9134, "ix01", 9138,   40,   9146,   2,
                      9150,   "01wb", 9154, 648,    9166,   122,    9170, 4411, 9174,   4650,   9178, 4411,   9182,
                      "idx1", 9186,   80,   9190,   "00dc", 9194,   0,    9198, 4,      9202,   101,  9206,   "00dc",
                      9214,   4534,   9218, 100,    9222,   "00dc", 9230, 9062, 9234,   7,      9238, "01wb", 9246,
                      114,    9250,   4411, 9254,   "01wb", 9258,   0,    9262, 4642,   9266,   4411});
    // Odd video chunks get a zero pad byte; audio chunks carry the host's padded block.
    for (std::uint64_t at : {648 + 4 + 8 + 101, 648 + 9062 + 8 + 7}) EXPECT_EQ(b[at], 0) << at;
    EXPECT_EQ(b[648 + 114 + 8 + 4411], data[4411]);
    for (std::uint64_t at : {648 + 12, 648 + 122, 648 + 4542, 648 + 4650, 648 + 9070})
        EXPECT_EQ(b[at + 3], data[3]) << at;
}

// The segment switch happens exactly when the chunk, its header and both standard indexes
// with one entry more would reach 2^31 bytes.
TEST(WriteLayout, SegmentBoundaryAtTwoGiB) {
    const struct {
        bool audio;
        std::uint32_t frame;  // the second chunk, after one of 1000 bytes
        bool switches;
    } cases[] = {
        {false, 2147416760u, true}, {false, 2147416758u, false}, {true, 2147350948u, true}, {true, 2147350946u, false}};
    const std::vector<char> buf(SparseFileHandler::keep, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frame) + (c.audio ? " with audio" : ""));
        auto sparse = std::make_shared<SparseFileHandler>();
        TestFile f;
        ASSERT_TRUE(f.openWith(sparse, u"s.avi", "w"));
        f.setVideoInfo(4, 2, 25.0);
        if (c.audio) f.setAudioInfo(8000.0, 8, 1, 1000);
        c.audio ? f.writeAudio(buf.data()) : f.writeVideoFrame(buf.data(), 1000);
        const std::uint64_t before = sparse->pos;
        f.writeVideoFrame(buf.data(), c.frame);
        f.close();
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        // The frame follows the first chunk, or opens the movi list of a RIFF AVIX that starts
        // where the first segment ends; their layout is checked below.
        const std::uint64_t e0 = u32(sparse->at(0, 8), 4) + 8ULL;
        EXPECT_EQ(e0 != sparse->size, c.switches);
        EXPECT_EQ(fourcc(sparse->at(c.switches ? e0 + 24 : before, 4), 0), "00db");
    }
}

// Several segments, virtually: every index of every segment leads to its chunks, the counts
// in the header cover all segments, and our reader finds every frame. A write that would
// need a segment the header has no slot for is refused, nothing written, and the file
// closed after it stays complete.
TEST(WriteLayout, ThreeSegmentsAndNoFourth) {
    const std::uint32_t frameBytes = 700000000, audioBytes = 1000;  // 250 16-bit stereo samples
    const std::vector<char> buf(SparseFileHandler::keep, 'x');
    auto sparse = std::make_shared<SparseFileHandler>();
    TestFile f;
    ASSERT_TRUE(f.openWith(sparse, u"s.avi", "w"));
    f.setNumSuperIndexEntries(3);
    f.setVideoInfo(4, 2, 25.0);
    f.setAudioInfo(8000.0, 16, 2, audioBytes);
    std::vector<std::uint64_t> at[2];  // data offsets of video and audio chunks
    for (int i = 0; i < 9; ++i) {
        f.writeVideoFrame(buf.data(), frameBytes);
        at[0].push_back(f.videoIndex.back().getAbsolutePosition() + 8);
        f.writeAudio(buf.data());
        at[1].push_back(f.audioIndex.back().getAbsolutePosition() + 8);
    }
    ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
    const std::uint64_t size = sparse->size, writes = sparse->fwrites;
    f.writeVideoFrame(buf.data(), frameBytes);
    EXPECT_EQ(f.getErrorCode(), err::ERR_UNSUPPORTED_FILE);
    EXPECT_EQ(sparse->size, size);
    EXPECT_EQ(sparse->fwrites, writes);
    f.clearError();
    f.close();
    ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();

    // Top level: RIFF AVI, then two RIFF AVIX, back to back to the end of the file.
    std::vector<std::uint64_t> riffAt;
    for (std::uint64_t p = 0; p < sparse->size; p += 8ULL + u32(sparse->at(p, 8), 4)) {
        const auto h = sparse->at(p, 24);
        expectAt(h, 0, {0, "RIFF", 8, riffAt.empty() ? "AVI " : "AVIX"});
        if (!riffAt.empty()) expectAt(h, 0, {16, u32(h, 4) - 12, 20, "movi"});
        ASSERT_LT(u32(h, 4), 1u << 31) << "no segment reaches 2 GiB";
        riffAt.push_back(p);
    }
    ASSERT_EQ(riffAt.size(), 3u);
    EXPECT_EQ(riffAt.back() + 8 + u32(sparse->at(riffAt.back(), 8), 4), sparse->size);
    const auto head = sparse->at(0, 4096);
    const auto all = walk(head);
    EXPECT_EQ(u32(head, 48), 9u) << "total frames";
    EXPECT_EQ(u32(head, only(all, "dmlh")[0].at + 8), 9u);
    only(all, "JUNK", 0);  // three slots, three segments: exactly full
    const auto strh = only(all, "strh", 2), indx = only(all, "indx", 2);
    EXPECT_EQ(u32(head, strh[0].at + 8 + 32), 9u);
    EXPECT_EQ(u32(head, strh[1].at + 8 + 32), 3u * 250) << "audio length: samples of the first segment";
    // idx1 covers the first segment only.
    EXPECT_EQ(fourcc(sparse->at(riffAt[1] - 8 - 6 * 16, 4), 0), "idx1");
    const std::uint32_t perSegment[] = {3, 3, 3};
    for (std::size_t s = 0; s < 2; ++s) {
        ASSERT_EQ(u32(head, indx[s].at + 12), 3u);
        for (std::size_t k = 0, chunk = 0; k < 3; ++k) {
            SCOPED_TRACE("stream " + std::to_string(s) + " segment " + std::to_string(k));
            const std::uint64_t e = indx[s].at + 32 + 16 * k, ixAt = u64(head, e);
            EXPECT_GT(ixAt, riffAt[k]);
            EXPECT_EQ(u32(head, e + 12), s == 0 ? perSegment[k] : perSegment[k] * 250) << "duration";
            const auto ix = sparse->at(ixAt, 32 + 8 * perSegment[k]);
            expectAt(ix, 0, {0, s == 0 ? "ix00" : "ix01", 12, perSegment[k]});
            for (std::uint32_t i = 0; i < perSegment[k]; ++i, ++chunk) {
                const std::uint64_t data = u64(ix, 20) + u32(ix, 32 + 8 * i);
                EXPECT_EQ(data, at[s][chunk]);
                expectAt(sparse->at(data - 8, 8), 0, {0, s == 0 ? "00db" : "01wb", 4, u32(ix, 36 + 8 * i)});
            }
        }
    }
    TestFile r;
    ASSERT_TRUE(r.openWith(sparse, u"s.avi", "r")) << r.getErrorMsg();
    EXPECT_EQ(r.getVideoTotalFrames(), 9u);
    ASSERT_EQ(r.audioIndex.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(r.videoIndex[i].getAbsolutePosition(), at[0][i]);
        EXPECT_EQ(r.audioIndex[i].getAbsolutePosition(), at[1][i]);
    }
}

// A checkpointing writer across segments, stopped after each of its writes: every stop
// reads in the library with at least the frames and audio of the last checkpoint before
// it, each where it was written; the finished file holds them all in three segments.
TEST(WriteLayout, CheckpointsHoldInEverySegment) {
    struct Recorder : SparseFileHandler {
        std::vector<std::uint64_t> sizeAfter;  // the file's size after each write
        std::size_t fwrite(const void* b, std::size_t s, std::size_t n, void* h) override {
            const std::size_t done = SparseFileHandler::fwrite(b, s, n, h);
            sizeAfter.push_back(size);
            return done;
        }
    };
    const std::uint32_t frameBytes = 700000000;
    const std::vector<char> buf(SparseFileHandler::keep, 'x');
    auto rec = std::make_shared<Recorder>();
    TestFile f;
    ASSERT_TRUE(f.openWith(rec, u"s.avi", "w"));
    f.setNumSuperIndexEntries(8);
    f.setVideoInfo(4, 2, 25.0);
    f.setAudioInfo(8000.0, 16, 2, 1000);
    f.checkpointRooms(2);
    std::vector<std::uint64_t> at[2], done;  // chunk data offsets; writes made at each checkpoint
    for (int i = 0; i < 9; ++i) {
        f.writeVideoFrame(buf.data(), frameBytes);
        at[0].push_back(f.videoIndex.back().getAbsolutePosition() + 8);
        f.writeAudio(buf.data());
        at[1].push_back(f.audioIndex.back().getAbsolutePosition() + 8);
        ASSERT_TRUE(f.checkpoint()) << f.getErrorMsg();
        done.push_back(rec->pieces.size());
    }
    f.close();
    ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
    for (std::size_t k = 1; k <= rec->pieces.size(); ++k) {
        SCOPED_TRACE("stopped after write " + std::to_string(k));
        auto stop = std::make_shared<SparseFileHandler>();
        stop->pieces.assign(rec->pieces.begin(), rec->pieces.begin() + static_cast<std::ptrdiff_t>(k));
        stop->size = rec->sizeAfter[k - 1];
        const auto n = static_cast<std::size_t>(std::upper_bound(done.begin(), done.end(), k) - done.begin());
        TestFile r;
        if (n == 0) continue;
        ASSERT_TRUE(r.openWith(stop, u"s.avi", "r")) << r.getErrorMsg();
        ASSERT_GE(r.videoIndex.size(), n);
        ASSERT_GE(r.audioIndex.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(r.videoIndex[i].getAbsolutePosition(), at[0][i]);
            EXPECT_EQ(r.audioIndex[i].getAbsolutePosition(), at[1][i]);
        }
    }
    EXPECT_EQ(u32(rec->at(0, 64), 48), 9u) << "total frames";
    std::vector<std::string> top;  // RIFF segments back to back to the end of the file
    for (std::uint64_t p = 0; p < rec->size; p += 8ULL + u32(rec->at(p, 8), 4))
        top.push_back(fourcc(rec->at(p, 12), 0) + fourcc(rec->at(p, 12), 8));
    EXPECT_EQ(top, (std::vector<std::string>{"RIFFAVI ", "RIFFAVIX", "RIFFAVIX"}));
}

// Configuration values the header can hold are converted as documented; values it cannot
// hold, and calls that would move data already written, are refused with a code and add
// no stream.
TEST(WriteConfig, ValuesAndRefusals) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const char frame[16] = {};
    using Call = std::function<void(TestFile&)>;
    const struct {
        const char* name;
        Call call;
        err::error_T code;
        int streams;  // configured afterwards
        Call check = nullptr;
    } cases[] = {
        {"640x480 at 25", [](TestFile& f) { f.setVideoInfo(640, 480, 25.0); }, err::ERR_NONE, 1,
         [](TestFile& f) { EXPECT_EQ(f.videoFrameSize, 921600u); }},
        {"8 bits, odd width", [](TestFile& f) { f.setVideoInfo(5, 2, 10.0, "", 8); }, err::ERR_NONE, 1,
         [](TestFile& f) { EXPECT_EQ(f.videoFrameSize, 16u); }},
        {"audio 22050, odd chunk", [](TestFile& f) { f.setAudioInfo(22050.0, 16, 2, 4411); }, err::ERR_NONE, 1,
         [](TestFile& f) { EXPECT_EQ(f.getAudioChunkSize(), 4412u); }},
        {"audio then video", [](TestFile& f) { f.setAudioInfo(8000.0, 8, 1, 100), f.setVideoInfo(2, 2, 50.0); },
         err::ERR_NONE, 2, [](TestFile& f) { EXPECT_EQ(f.mainHeader.dwMicroSecPerFrame, 20000u); }},
        {"12 bits per pixel", [](TestFile& f) { f.setVideoInfo(2, 2, 10.0, "", 12); }, err::ERR_INVALID_BITS_PER_PIXEL,
         0},
        {"zero fps", [](TestFile& f) { f.setVideoInfo(2, 2, 0.0); }, err::ERR_UNSUPPORTED_FILE, 0},
        {"NaN fps", [nan](TestFile& f) { f.setVideoInfo(2, 2, nan); }, err::ERR_UNSUPPORTED_FILE, 0},
        {"fps beyond 4294.967295", [](TestFile& f) { f.setVideoInfo(2, 2, 4295.0); }, err::ERR_UNSUPPORTED_FILE, 0},
        {"fps so small the period overflows", [](TestFile& f) { f.setVideoInfo(2, 2, 1e-4); },
         err::ERR_UNSUPPORTED_FILE, 0},
        {"frame of 4 GiB or more", [](TestFile& f) { f.setVideoInfo(40000, 40000, 25.0); }, err::ERR_UNSUPPORTED_FILE,
         0},
        {"width beyond 2^31", [](TestFile& f) { f.setVideoInfo(0x80000000u, 1, 25.0, "", 16); },
         err::ERR_UNSUPPORTED_FILE, 0},
        {"zero sample rate", [](TestFile& f) { f.setAudioInfo(0.0, 16, 2, 4); }, err::ERR_UNSUPPORTED_AUDIO_FORMAT, 0},
        {"NaN sample rate", [nan](TestFile& f) { f.setAudioInfo(nan, 16, 2, 4); }, err::ERR_UNSUPPORTED_AUDIO_FORMAT,
         0},
        {"sample rate beyond 32 bits", [](TestFile& f) { f.setAudioInfo(5e9, 16, 2, 4); },
         err::ERR_UNSUPPORTED_AUDIO_FORMAT, 0},
        {"257 colours", [](TestFile& f) { f.setColormap(palette(257)); }, err::ERR_COLORMAP_TOO_LARGE, 0},
        {"second colormap", [](TestFile& f) { f.setColormap(palette(256)), f.setColormap(palette(2)); },
         err::ERR_COLORMAP_NOT_EMPTY, 0, [](TestFile& f) { EXPECT_EQ(f.colormap.size(), 256u); }},
        {"audio after the first frame",
         [&](TestFile& f) { f.setVideoInfo(2, 2, 10.0), f.writeVideoFrame(frame), f.setAudioInfo(8000.0, 8, 1, 10); },
         err::ERR_UNSUPPORTED_FILE, 1},
        {"colormap after the first frame",
         [&](TestFile& f) { f.setVideoInfo(2, 2, 10.0, "", 8), f.writeVideoFrame(frame), f.setColormap(palette(2)); },
         err::ERR_UNSUPPORTED_FILE, 1, [](TestFile& f) { EXPECT_TRUE(f.colormap.empty()); }},
        {"audio written without an audio stream", [](TestFile& f) { f.setVideoInfo(2, 2, 10.0), f.writeAudio("xxxx"); },
         err::ERR_UNSUPPORTED_FILE, 1, [](TestFile& f) { EXPECT_TRUE(f.audioIndex.empty()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemWriter w;
        c.call(w.f);
        EXPECT_EQ(w.f.getErrorCode(), c.code) << w.f.getErrorMsg();
        EXPECT_EQ(w.f.hasVideo() + w.f.hasAudio(), c.streams);
        if (c.check) c.check(w.f);
        w.f.clearError();
        w.close();
    }
    TestFile reading;
    reading.setColormap(palette(1));
    EXPECT_EQ(reading.getErrorCode(), err::ERR_COLORMAP_DURING_READ);
}
