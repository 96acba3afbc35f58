// Byte layout of written files: header room and filler, chunk placement and padding, the
// standard, super and legacy indexes, and RIFF segmentation at 2 GiB (checked on a sparse
// in-memory file, so no test writes gigabytes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "MemoryFileHandler.h"
#include "TestFile.h"
#include "test_util.h"

using avi::tagRGBQUAD;
using avitest::MemoryFileHandler;
using avitest::TestFile;
using writetest::fourcc;
using writetest::SparseFileHandler;
using writetest::u32;
using writetest::u64;
namespace err = avi::errors;

namespace {

std::vector<tagRGBQUAD> palette(std::size_t n) {
    std::vector<tagRGBQUAD> p(n);
    for (std::size_t i = 0; i < n; ++i)
        p[i] = tagRGBQUAD{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                          static_cast<std::uint8_t>(i * 7), 0};
    return p;
}

// What the header of a closed file says, found by walking it.
struct Header {
    std::uint32_t hdrlSize = 0, streams = 0, totalFrames = 0, dmlh = 0;
    std::int64_t junkSize = -1;  // -1: no JUNK chunk
    std::uint64_t moviListAt = 0;
    std::uint32_t moviSize = 0;
    struct Strl {
        std::string type;
        std::uint32_t listSize = 0, strfSize = 0, length = 0, scale = 0, rate = 0, suggested = 0;
        std::uint64_t strfAt = 0;
        std::string indxId;
        std::vector<std::uint64_t> ixAt;
        std::vector<std::uint32_t> ixSize, ixDuration;
    };
    std::vector<Strl> strl;
};

Header walkHeader(const std::vector<char>& b) {
    Header h;
    EXPECT_EQ(fourcc(b, 0), "RIFF");
    EXPECT_EQ(fourcc(b, 8), "AVI ");
    EXPECT_EQ(fourcc(b, 12), "LIST");
    EXPECT_EQ(fourcc(b, 20), "hdrl");
    h.hdrlSize = u32(b, 16);
    const std::uint64_t end = 20ULL + h.hdrlSize;
    for (std::uint64_t p = 24; p + 8 <= end;) {
        const std::string id = fourcc(b, p);
        const std::uint32_t size = u32(b, p + 4);
        if (id == "avih") {
            h.totalFrames = u32(b, p + 8 + 16);
            h.streams = u32(b, p + 8 + 24);
        } else if (id == "LIST" && fourcc(b, p + 8) == "strl") {
            Header::Strl s;
            s.listSize = size;
            for (std::uint64_t q = p + 12; q + 8 <= p + 8 + size;) {
                const std::string sid = fourcc(b, q);
                const std::uint32_t ssize = u32(b, q + 4);
                if (sid == "strh") {
                    s.type = fourcc(b, q + 8);
                    s.scale = u32(b, q + 8 + 20);
                    s.rate = u32(b, q + 8 + 24);
                    s.length = u32(b, q + 8 + 32);
                    s.suggested = u32(b, q + 8 + 36);
                } else if (sid == "strf") {
                    s.strfSize = ssize;
                    s.strfAt = q + 8;
                } else if (sid == "indx") {
                    EXPECT_EQ(ssize, 24 + 16 * u32(b, q + 12)) << "indx size";
                    s.indxId = fourcc(b, q + 16);
                    for (std::uint32_t i = 0; i < u32(b, q + 12); ++i) {
                        s.ixAt.push_back(u64(b, q + 32 + 16 * i));
                        s.ixSize.push_back(u32(b, q + 32 + 16 * i + 8));
                        s.ixDuration.push_back(u32(b, q + 32 + 16 * i + 12));
                    }
                }
                q += 8 + ssize + (ssize & 1);
            }
            h.strl.push_back(s);
        } else if (id == "LIST" && fourcc(b, p + 8) == "odml") {
            EXPECT_EQ(size, 16u);
            EXPECT_EQ(fourcc(b, p + 12), "dmlh");
            h.dmlh = u32(b, p + 20);
        } else if (id == "JUNK") {
            h.junkSize = size;
            EXPECT_EQ(p + 8 + size, end) << "JUNK must end the hdrl list";
        }
        p += 8 + size + (size & 1);
    }
    h.moviListAt = end;
    EXPECT_EQ(fourcc(b, end), "LIST");
    EXPECT_EQ(fourcc(b, end + 8), "movi");
    h.moviSize = u32(b, end + 4);
    return h;
}

struct MemWriter {
    std::shared_ptr<MemoryFileHandler> handler = std::make_shared<MemoryFileHandler>();
    TestFile f;
    MemWriter() { EXPECT_TRUE(f.openWith(handler, u"w.avi", "w")); }
    std::vector<char> close() {
        f.close();
        return writetest::bytesOf(*handler, u"w.avi");
    }
};

}  // namespace

// Header room, filler and the first chunk for the stream combinations and super-index
// room: the movi list must start exactly where the data was placed.
TEST(WriteLayout, HeaderRoomJunkAndFirstChunk) {
    enum Streams { VIDEO, AUDIO, BOTH, AUDIO_THEN_VIDEO };
    const struct {
        const char* name;
        Streams streams;
        unsigned long n;
        unsigned bits;
        std::size_t paletteEntries;
        int chunks;  // frames and audio chunks written (each stream)
        std::uint32_t hdrl;
        std::int64_t junk;
    } cases[] = {
        {"video N=1", VIDEO, 1, 24, 0, 1, 16 * 1 + 256, 0},
        {"video N=16", VIDEO, 16, 24, 0, 2, 16 * 16 + 256, 16 * 15},
        {"video N=0 reserves one slot", VIDEO, 0, 24, 0, 1, 16 + 256, 0},
        {"video default N", VIDEO, 4096, 24, 0, 1, 65792, 16 * 4095},
        {"both N=1: exactly full", BOTH, 1, 24, 0, 2, 32 + 492, -1},
        {"both N=16", BOTH, 16, 24, 0, 1, 32 * 16 + 492, 32 * 16 - 40},
        {"audio N=16", AUDIO, 16, 0, 0, 3, 16 * 16 + 344, 16 * 15},
        {"8-bit, 256 colours, N=16", VIDEO, 16, 8, 256, 2, 16 * 16 + 256 + 1024, 16 * 15},
        {"8-bit, 256 colours, N=1", VIDEO, 1, 8, 256, 1, 16 + 256 + 1024, 0},
        {"audio first, 8-bit, 3 colours, N=2", AUDIO_THEN_VIDEO, 2, 8, 3, 1, 64 + 492 + 12, 24},
        {"both, no data, N=4", BOTH, 4, 24, 0, 0, 32 * 4 + 492, 32 * 4 - 40},
        {"24-bit with a colormap set: no palette", VIDEO, 16, 24, 5, 1, 16 * 16 + 256, 16 * 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemWriter w;
        w.f.setNumSuperIndexEntries(c.n);
        if (c.streams == AUDIO || c.streams == AUDIO_THEN_VIDEO) w.f.setAudioInfo(8000.0, 8, 1, 100);
        if (c.streams != AUDIO) w.f.setVideoInfo(4, 2, 25.0, "", c.bits);
        if (c.streams == BOTH) w.f.setAudioInfo(8000.0, 8, 1, 100);
        if (c.paletteEntries) w.f.setColormap(palette(c.paletteEntries));
        ASSERT_EQ(w.f.getHeaderLength(), c.hdrl);
        const std::uint64_t dataStart = w.handler->getFilePos(w.f.fileHandle);
        EXPECT_EQ(dataStart, c.hdrl + 32ULL);
        EXPECT_EQ(w.f.moviBase, c.hdrl + 28ULL);
        const std::vector<char> frame(64, 'v'), audio(100, 'a');
        for (int i = 0; i < c.chunks; ++i) {
            if (c.streams != AUDIO) w.f.writeVideoFrame(frame.data());
            if (c.streams != VIDEO) w.f.writeAudio(audio.data());
        }
        const auto b = w.close();
        ASSERT_EQ(w.f.getErrorCode(), err::ERR_NONE) << w.f.getErrorMsg();
        const Header h = walkHeader(b);
        EXPECT_EQ(h.hdrlSize, c.hdrl);
        EXPECT_EQ(h.junkSize, c.junk);
        EXPECT_EQ(h.moviListAt, c.hdrl + 20ULL);
        EXPECT_EQ(u32(b, 4) + 8ULL, b.size()) << "one RIFF chunk spans the file";
        if (c.chunks > 0) {
            EXPECT_EQ(fourcc(b, dataStart),
                      c.streams == AUDIO ? "00wb" : c.streams == AUDIO_THEN_VIDEO ? "01db" : "00db");
        }
        const bool audioFirst = c.streams == AUDIO || c.streams == AUDIO_THEN_VIDEO;
        const std::size_t nStreams = c.streams == BOTH || c.streams == AUDIO_THEN_VIDEO ? 2 : 1;
        ASSERT_EQ(h.strl.size(), nStreams);
        EXPECT_EQ(h.streams, nStreams);
        EXPECT_EQ(h.strl[0].type, audioFirst ? "auds" : "vids");
        EXPECT_EQ(h.dmlh, c.streams == AUDIO ? 0u : static_cast<std::uint32_t>(c.chunks));
        for (const auto& s : h.strl) {
            // One segment: one super-index entry, pointing at that stream's ix## chunk.
            ASSERT_EQ(s.ixAt.size(), 1u);
            EXPECT_EQ(fourcc(b, s.ixAt[0]).substr(0, 2), "ix");
            EXPECT_EQ(s.ixSize[0], 32u + 8u * static_cast<std::uint32_t>(c.chunks));
            EXPECT_EQ(u32(b, s.ixAt[0] + 4) + 8, s.ixSize[0]);
            EXPECT_EQ(u64(b, s.ixAt[0] + 20), c.hdrl + 28ULL) << "standard index base";
            if (s.type == "vids") {
                const std::uint32_t pal = c.bits == 8 ? 4 * static_cast<std::uint32_t>(c.paletteEntries) : 0;
                EXPECT_EQ(s.strfSize, 40 + pal);
                EXPECT_EQ(s.listSize, 16 + 148 + pal);
                EXPECT_EQ(u32(b, s.strfAt + 32), c.paletteEntries) << "colours used";
                if (pal) {
                    const auto p = palette(c.paletteEntries);
                    EXPECT_EQ(static_cast<std::uint8_t>(b[s.strfAt + 40 + 4 * (c.paletteEntries - 1) + 1]),
                              p.back().rgbGreen);
                }
                EXPECT_EQ(s.indxId, c.streams == AUDIO_THEN_VIDEO ? "01db" : "00db");
            } else {
                EXPECT_EQ(s.strfSize, 128u);
                EXPECT_EQ(s.indxId, c.streams == BOTH ? "01wb" : "00wb");
            }
        }
    }
}

// Chunk placement with odd sizes, and what every index says about it.
TEST(WriteLayout, OddChunksAndAllThreeIndexes) {
    MemWriter w;
    w.f.setNumSuperIndexEntries(4);
    w.f.setVideoInfo(8, 8, 10.0, "MJPG");
    w.f.setAudioInfo(22050.0, 8, 1, 4411);
    const std::uint64_t m = w.f.moviBase;
    const auto data = writetest::pattern(5000, 1);
    w.f.writeVideoFrame(data.data(), 101);
    w.f.writeAudio(data.data());
    w.f.writeVideoFrame(data.data(), 100);
    w.f.writeAudio(data.data());
    w.f.writeVideoFrame(data.data(), 7);
    EXPECT_EQ(w.f.segmentMoviBytes, 9074u);
    const auto b = w.close();
    ASSERT_EQ(w.f.getErrorCode(), err::ERR_NONE) << w.f.getErrorMsg();

    // Chunks at even offsets from the movi form type; headers carry the unpadded sizes.
    const struct {
        const char* id;
        std::uint32_t pos, size;
    } chunks[] = {{"00dc", 4, 101}, {"01wb", 114, 4411}, {"00dc", 4534, 100}, {"01wb", 4642, 4411}, {"00dc", 9062, 7}};
    for (const auto& c : chunks) {
        SCOPED_TRACE(c.pos);
        EXPECT_EQ(fourcc(b, m + c.pos), c.id);
        EXPECT_EQ(u32(b, m + c.pos + 4), c.size);
        EXPECT_EQ(b[m + c.pos + 8 + 3], data[3]);
        if (c.size & 1) {
            EXPECT_EQ(b[m + c.pos + 8 + c.size], std::string(c.id) == "01wb" ? data[c.size] : 0);
        }
    }
    // Standard indexes follow the data, video first: offsets point at the data.
    const std::uint64_t ix0 = m + 9078, ix1 = ix0 + 48 + 8;
    EXPECT_EQ(fourcc(b, ix0), "ix00");
    EXPECT_EQ(u32(b, ix0 + 4), 48u);
    EXPECT_EQ(fourcc(b, ix0 + 16), "00dc");
    EXPECT_EQ(u64(b, ix0 + 20), m);
    const std::uint32_t vOff[] = {12, 4542, 9070}, vSize[] = {101, 100, 7};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(u32(b, ix0 + 32 + 8 * i), vOff[i]);
        EXPECT_EQ(u32(b, ix0 + 36 + 8 * i), vSize[i]) << "key frame bit stays clear";
    }
    EXPECT_EQ(fourcc(b, ix1), "ix01");
    EXPECT_EQ(u32(b, ix1 + 4), 40u);
    EXPECT_EQ(u32(b, ix1 + 32), 122u);
    EXPECT_EQ(u32(b, ix1 + 40), 4650u);
    EXPECT_EQ(u32(b, ix1 + 44), 4411u);
    // The movi list ends where idx1 begins; idx1 lists video, then audio, flags 0.
    const std::uint64_t idx1 = ix1 + 40 + 8;
    EXPECT_EQ(m - 8 + 8 + u32(b, m - 4), idx1);
    EXPECT_EQ(fourcc(b, idx1), "idx1");
    ASSERT_EQ(u32(b, idx1 + 4), 5u * 16);
    const struct {
        const char* id;
        std::uint32_t pos, size;
    } legacy[] = {{"00dc", 4, 101}, {"00dc", 4534, 100}, {"00dc", 9062, 7}, {"01wb", 114, 4411}, {"01wb", 4642, 4411}};
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t e = idx1 + 8 + 16 * i;
        EXPECT_EQ(fourcc(b, e), legacy[i].id);
        EXPECT_EQ(u32(b, e + 4), 0u);
        EXPECT_EQ(u32(b, e + 8), legacy[i].pos);
        EXPECT_EQ(u32(b, e + 12), legacy[i].size);
    }
    EXPECT_EQ(idx1 + 8 + 80, b.size());
    const Header h = walkHeader(b);
    ASSERT_EQ(h.strl.size(), 2u);
    EXPECT_EQ(h.strl[0].ixDuration[0], 3u) << "video: frames";
    EXPECT_EQ(h.strl[1].ixDuration[0], 2u * 4411) << "audio: sample frames";
    EXPECT_EQ(h.strl[1].length, 2u * 4411);
    EXPECT_EQ(h.strl[1].suggested, 4411u);
    EXPECT_EQ(h.strl[0].rate, 10000000u);
    EXPECT_EQ(h.strl[0].scale, 1000000u);
}

// The segment switch happens exactly when the chunk, its header and both standard indexes
// with one entry more would reach 2^31 bytes.
TEST(WriteLayout, SegmentBoundaryAtTwoGiB) {
    const struct {
        bool audio;
        std::uint32_t frame;  // second chunk, after one 1000-byte chunk
        bool switches;
    } cases[] = {
        {false, 2147416760u, true},
        {false, 2147416758u, false},
        {true, 2147350948u, true},
        {true, 2147350946u, false},
    };
    const std::vector<char> buf(SparseFileHandler::keep, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frame) + (c.audio ? " with audio" : ""));
        auto sparse = std::make_shared<SparseFileHandler>();
        TestFile f;
        ASSERT_TRUE(f.openWith(sparse, u"s.avi", "w"));
        f.setVideoInfo(4, 2, 25.0);
        if (c.audio) {
            f.setAudioInfo(8000.0, 8, 1, 1000);
            f.writeAudio(buf.data());
        } else {
            f.writeVideoFrame(buf.data(), 1000);
        }
        // One byte less than the boundary stays; the boundary itself switches.
        const std::uint32_t edge = c.switches ? c.frame : c.frame + 2;
        EXPECT_TRUE(f.atRiffBoundary(edge));
        EXPECT_FALSE(f.atRiffBoundary(edge - 1));
        const std::uint64_t before = sparse->pos;
        f.writeVideoFrame(buf.data(), c.frame);
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        f.close();
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        const auto head = sparse->at(0, 12);
        const std::uint64_t e0 = u32(head, 4) + 8ULL;
        if (!c.switches) {
            EXPECT_EQ(e0, sparse->size);
            EXPECT_EQ(fourcc(sparse->at(before, 4), 0), "00db");
            continue;
        }
        // idx1 ends the first segment; the AVIX headers fill the 24 bytes left after it.
        EXPECT_EQ(fourcc(sparse->at(e0 - 8 - 16, 4), 0), "idx1") << "one entry: the first chunk";
        const auto avix = sparse->at(e0, 24);
        EXPECT_EQ(fourcc(avix, 0), "RIFF");
        EXPECT_EQ(fourcc(avix, 8), "AVIX");
        EXPECT_EQ(fourcc(avix, 12), "LIST");
        EXPECT_EQ(fourcc(avix, 20), "movi");
        EXPECT_EQ(e0 + 8 + u32(avix, 4), sparse->size);
        EXPECT_EQ(u32(avix, 16), u32(avix, 4) - 12);
        const auto chunk = sparse->at(e0 + 24, 8);
        EXPECT_EQ(fourcc(chunk, 0), "00db");
        EXPECT_EQ(u32(chunk, 4), c.frame);
        const std::uint64_t ix = e0 + 24 + 8 + c.frame;
        const auto index = sparse->at(ix, 40);
        EXPECT_EQ(fourcc(index, 0), "ix00");
        EXPECT_EQ(u64(index, 20), e0 + 20) << "base: the AVIX movi form type";
        EXPECT_EQ(u32(index, 32), 12u);
    }
}

// Several segments, virtually: every index of every segment leads to its chunks, the counts
// in the header cover all segments, and our reader finds every frame.
TEST(WriteLayout, ThreeSegments) {
    const std::uint32_t frameBytes = 700000000, audioBytes = 1001;
    const std::vector<char> buf(SparseFileHandler::keep, 'x');
    auto sparse = std::make_shared<SparseFileHandler>();
    TestFile f;
    ASSERT_TRUE(f.openWith(sparse, u"s.avi", "w"));
    f.setNumSuperIndexEntries(3);
    f.setVideoInfo(4, 2, 25.0);
    f.setAudioInfo(8000.0, 8, 1, audioBytes);
    std::vector<std::uint64_t> videoAt, audioAt;  // chunk header offsets
    for (int i = 0; i < 7; ++i) {
        f.writeVideoFrame(buf.data(), frameBytes);
        videoAt.push_back(f.videoIndex.back().getAbsolutePosition());
        f.writeAudio(buf.data());
        audioAt.push_back(f.audioIndex.back().getAbsolutePosition());
    }
    f.close();
    ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();

    // Top level: RIFF AVI, then two RIFF AVIX, back to back to the end of the file.
    std::vector<std::uint64_t> riffAt;
    for (std::uint64_t p = 0; p < sparse->size;) {
        const auto h = sparse->at(p, 24);
        ASSERT_EQ(fourcc(h, 0), "RIFF");
        EXPECT_EQ(fourcc(h, 8), riffAt.empty() ? "AVI " : "AVIX");
        if (!riffAt.empty()) {
            EXPECT_EQ(fourcc(h, 20), "movi");
            EXPECT_EQ(u32(h, 16) + 12, u32(h, 4));
        }
        riffAt.push_back(p);
        p += 8ULL + u32(h, 4);
        ASSERT_LE(p, sparse->size);
        ASSERT_LT(u32(h, 4), 1u << 31) << "no segment reaches 2 GiB";
    }
    ASSERT_EQ(riffAt.size(), 3u);

    const auto hb = sparse->at(0, 4096);
    const Header h = walkHeader(hb);
    EXPECT_EQ(h.totalFrames, 7u);
    EXPECT_EQ(h.dmlh, 7u);
    ASSERT_EQ(h.strl.size(), 2u);
    EXPECT_EQ(h.strl[0].length, 7u);
    EXPECT_EQ(h.strl[1].length, 3u * audioBytes) << "audio length counts the first segment";
    EXPECT_EQ(h.junkSize, -1) << "three slots, three segments: exactly full";
    const std::uint32_t perSegment[] = {3, 3, 1};
    std::size_t chunk = 0;
    for (std::size_t s = 0; s < 2; ++s) {
        const auto& st = h.strl[s];
        ASSERT_EQ(st.ixAt.size(), 3u);
        const auto& at = s == 0 ? videoAt : audioAt;
        chunk = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            SCOPED_TRACE("stream " + std::to_string(s) + " segment " + std::to_string(k));
            EXPECT_GT(st.ixAt[k], riffAt[k]);
            EXPECT_EQ(st.ixDuration[k], s == 0 ? perSegment[k] : perSegment[k] * audioBytes);
            const auto ix = sparse->at(st.ixAt[k], 32 + 8 * perSegment[k]);
            EXPECT_EQ(fourcc(ix, 0), s == 0 ? "ix00" : "ix01");
            EXPECT_EQ(u32(ix, 12), perSegment[k]);
            const std::uint64_t base = u64(ix, 20);
            for (std::uint32_t i = 0; i < perSegment[k]; ++i, ++chunk) {
                const std::uint64_t data = base + u32(ix, 32 + 8 * i);
                EXPECT_EQ(data, at[chunk] + 8);
                const auto ch = sparse->at(data - 8, 8);
                EXPECT_EQ(fourcc(ch, 0), s == 0 ? "00db" : "01wb");
                EXPECT_EQ(u32(ch, 4), u32(ix, 36 + 8 * i));
            }
        }
    }
    // idx1 covers the first segment only.
    const std::uint64_t e0 = riffAt[1];
    const auto idx1 = sparse->at(e0 - 8 - 6 * 16, 8);
    EXPECT_EQ(fourcc(idx1, 0), "idx1");
    EXPECT_EQ(u32(idx1, 4), 6u * 16);

    TestFile r;
    ASSERT_TRUE(r.openWith(sparse, u"s.avi", "r")) << r.getErrorMsg();
    EXPECT_EQ(r.getVideoTotalFrames(), 7u);
    ASSERT_EQ(r.videoIndex.size(), 7u);
    ASSERT_EQ(r.audioIndex.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(r.videoIndex[i].getAbsolutePosition(), videoAt[i] + 8);
        EXPECT_EQ(r.audioIndex[i].getAbsolutePosition(), audioAt[i] + 8);
    }
}

// A write that would need a segment the header has no slot for is refused, nothing
// written, and the file closed so far stays complete.
TEST(WriteLayout, SegmentsBeyondTheReservedSlotsAreRefused) {
    const struct {
        unsigned long n;
        int keptFrames, segments;
    } cases[] = {{1, 2, 1}, {2, 4, 2}};
    const std::vector<char> buf(SparseFileHandler::keep, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        auto sparse = std::make_shared<SparseFileHandler>();
        TestFile f;
        ASSERT_TRUE(f.openWith(sparse, u"s.avi", "w"));
        f.setNumSuperIndexEntries(c.n);
        f.setVideoInfo(4, 2, 25.0);
        for (int i = 0; i < c.keptFrames; ++i) f.writeVideoFrame(buf.data(), 1000000000);
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE);
        const std::uint64_t size = sparse->size, writes = sparse->fwrites;
        f.writeVideoFrame(buf.data(), 1000000000);
        EXPECT_EQ(f.getErrorCode(), err::ERR_UNSUPPORTED_FILE);
        EXPECT_STREQ(f.getErrorMsg(), "Unsupported AVI file");
        EXPECT_EQ(sparse->size, size);
        EXPECT_EQ(sparse->fwrites, writes);
        f.clearError();
        f.close();
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        const Header h = walkHeader(sparse->at(0, 4096));
        EXPECT_EQ(h.totalFrames, static_cast<std::uint32_t>(c.keptFrames));
        EXPECT_EQ(h.strl[0].ixAt.size(), static_cast<std::size_t>(c.segments));
        EXPECT_EQ(h.junkSize, 0) << "one stream, all slots used: an empty JUNK chunk";
        TestFile r;
        ASSERT_TRUE(r.openWith(sparse, u"s.avi", "r")) << r.getErrorMsg();
        EXPECT_EQ(r.videoIndex.size(), static_cast<std::size_t>(c.keptFrames));
    }
}

// Configuration values the header can hold are converted as documented; values it cannot
// hold, and calls that would move data already written, are refused with a code.
TEST(WriteConfig, ValuesAndRefusals) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        std::function<void(TestFile&)> call;
        err::error_T code;
        std::function<void(TestFile&)> check;
    } cases[] = {
        {"640x480 at 25", [](TestFile& f) { f.setVideoInfo(640, 480, 25.0); }, err::ERR_NONE,
         [](TestFile& f) {
             EXPECT_EQ(f.videoFrameSize, 921600u);
             EXPECT_EQ(f.mainHeader.dwMicroSecPerFrame, 40000u);
             EXPECT_EQ(f.streamHeaders[0].dwRate, 25000000u);
             EXPECT_STREQ(f.videoChunkId, "00db");
         }},
        {"8 bits, odd width", [](TestFile& f) { f.setVideoInfo(5, 2, 10.0, "", 8); }, err::ERR_NONE,
         [](TestFile& f) { EXPECT_EQ(f.videoFrameSize, 16u); }},
        {"MJPG", [](TestFile& f) { f.setVideoInfo(2, 2, 10.0, "MJPG"); }, err::ERR_NONE,
         [](TestFile& f) {
             EXPECT_EQ(f.bitmapHeader.biCompression & 0xFF, static_cast<std::uint32_t>('M'));
             EXPECT_STREQ(f.videoChunkId, "00dc");
         }},
        {"audio 22050, odd chunk", [](TestFile& f) { f.setAudioInfo(22050.0, 16, 2, 4411); }, err::ERR_NONE,
         [](TestFile& f) {
             EXPECT_EQ(f.paddedAudioChunkSize, 4412u);
             EXPECT_EQ(f.streamHeaders[0].dwSampleSize, 4u);
             EXPECT_EQ(f.waveFormat.nSamplesPerSec, 22050u);
         }},
        {"audio 44100", [](TestFile& f) { f.setAudioInfo(44100.0, 16, 2, 4410); }, err::ERR_NONE,
         [](TestFile& f) {
             EXPECT_EQ(f.streamHeaders[0].dwScale, 97391u);
             EXPECT_EQ(f.streamHeaders[0].dwRate, 4294943100u);
         }},
        {"audio then video",
         [](TestFile& f) {
             f.setAudioInfo(8000.0, 8, 1, 100);
             f.setVideoInfo(2, 2, 50.0);
         },
         err::ERR_NONE,
         [](TestFile& f) {
             EXPECT_STREQ(f.audioChunkId, "00wb");
             EXPECT_STREQ(f.videoChunkId, "01db");
             EXPECT_EQ(f.mainHeader.dwMicroSecPerFrame, 20000u);
         }},
        {"12 bits per pixel", [](TestFile& f) { f.setVideoInfo(2, 2, 10.0, "", 12); }, err::ERR_INVALID_BITS_PER_PIXEL,
         [](TestFile& f) { EXPECT_FALSE(f.hasVideo()); }},
        {"zero fps", [](TestFile& f) { f.setVideoInfo(2, 2, 0.0); }, err::ERR_UNSUPPORTED_FILE,
         [](TestFile& f) { EXPECT_FALSE(f.hasVideo()); }},
        {"NaN fps", [nan](TestFile& f) { f.setVideoInfo(2, 2, nan); }, err::ERR_UNSUPPORTED_FILE, nullptr},
        {"fps beyond 4294.967295", [](TestFile& f) { f.setVideoInfo(2, 2, 4295.0); }, err::ERR_UNSUPPORTED_FILE,
         nullptr},
        {"fps so small the period overflows", [](TestFile& f) { f.setVideoInfo(2, 2, 1e-4); },
         err::ERR_UNSUPPORTED_FILE, nullptr},
        {"frame of 4 GiB or more", [](TestFile& f) { f.setVideoInfo(40000, 40000, 25.0); }, err::ERR_UNSUPPORTED_FILE,
         [](TestFile& f) { EXPECT_EQ(f.videoFrameSize, 0u); }},
        {"width beyond 2^31", [](TestFile& f) { f.setVideoInfo(0x80000000u, 1, 25.0, "", 16); },
         err::ERR_UNSUPPORTED_FILE, nullptr},
        {"zero sample rate", [](TestFile& f) { f.setAudioInfo(0.0, 16, 2, 4); }, err::ERR_UNSUPPORTED_AUDIO_FORMAT,
         [](TestFile& f) { EXPECT_FALSE(f.hasAudio()); }},
        {"NaN sample rate", [nan](TestFile& f) { f.setAudioInfo(nan, 16, 2, 4); }, err::ERR_UNSUPPORTED_AUDIO_FORMAT,
         nullptr},
        {"sample rate beyond 32 bits", [](TestFile& f) { f.setAudioInfo(5e9, 16, 2, 4); },
         err::ERR_UNSUPPORTED_AUDIO_FORMAT, nullptr},
        {"257 colours", [](TestFile& f) { f.setColormap(palette(257)); }, err::ERR_COLORMAP_TOO_LARGE, nullptr},
        {"second colormap",
         [](TestFile& f) {
             f.setColormap(palette(256));
             f.setColormap(palette(2));
         },
         err::ERR_COLORMAP_NOT_EMPTY, [](TestFile& f) { EXPECT_EQ(f.colormap.size(), 256u); }},
        {"reconfiguring after the first frame",
         [](TestFile& f) {
             f.setVideoInfo(2, 2, 10.0);
             const char frame[16] = {};
             f.writeVideoFrame(frame);
             f.setAudioInfo(8000.0, 8, 1, 10);
         },
         err::ERR_UNSUPPORTED_FILE, [](TestFile& f) { EXPECT_FALSE(f.hasAudio()); }},
        {"colormap after the first frame",
         [](TestFile& f) {
             f.setVideoInfo(2, 2, 10.0, "", 8);
             const char frame[8] = {};
             f.writeVideoFrame(frame);
             f.setColormap(palette(2));
         },
         err::ERR_UNSUPPORTED_FILE, nullptr},
        {"audio written without an audio stream",
         [](TestFile& f) {
             f.setVideoInfo(2, 2, 10.0);
             f.writeAudio("xxxx");
         },
         err::ERR_UNSUPPORTED_FILE, [](TestFile& f) { EXPECT_TRUE(f.audioIndex.empty()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemWriter w;
        c.call(w.f);
        EXPECT_EQ(w.f.getErrorCode(), c.code) << w.f.getErrorMsg();
        if (c.check) c.check(w.f);
        w.f.clearError();
        w.close();
    }
    TestFile reading;
    reading.setColormap(palette(1));
    EXPECT_EQ(reading.getErrorCode(), err::ERR_COLORMAP_DURING_READ);
}

// Super-index room changed after the streams: the data start follows, so the header
// written at close meets the data.
TEST(WriteConfig, SuperIndexRoomSetAfterTheStreams) {
    MemWriter w;
    w.f.setVideoInfo(2, 2, 10.0);
    w.f.setNumSuperIndexEntries(2);
    const char frame[16] = {1, 2, 3};
    w.f.writeVideoFrame(frame);
    const auto b = w.close();
    const Header h = walkHeader(b);
    EXPECT_EQ(h.hdrlSize, 2u * 16 + 256);
    EXPECT_EQ(fourcc(b, h.moviListAt + 12), "00db");
}

// Top-down frames become bottom-up in place: rows swap, a middle row stays.
TEST(WriteConfig, ConvertFrameToBottomUp) {
    const struct {
        unsigned width, height, bits;
        std::size_t row;
    } cases[] = {{2, 1, 24, 8}, {2, 2, 24, 8}, {3, 3, 24, 12}, {3, 4, 16, 8}, {2, 3, 32, 8}, {1500, 3, 24, 4500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.bits));
        MemWriter w;
        w.f.setVideoInfo(c.width, c.height, 10.0, "", c.bits);
        auto frame = writetest::pattern(c.row * c.height, c.height);
        const auto original = frame;
        w.f.convertFrameToBottomUp(frame.data());
        for (std::size_t r = 0; r < c.height; ++r)
            EXPECT_TRUE(std::equal(frame.begin() + static_cast<std::ptrdiff_t>(r * c.row),
                                   frame.begin() + static_cast<std::ptrdiff_t>((r + 1) * c.row),
                                   original.begin() + static_cast<std::ptrdiff_t>((c.height - 1 - r) * c.row)))
                << "row " << r;
        w.close();
    }
}
