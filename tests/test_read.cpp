// Reading: frames and audio in every form, the three index sources, and hostile files that
// must end in an error code, never a crash, a hang or an allocation the file cannot justify.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "AviBuilder.h"
#include "TestFile.h"

using avitest::AviBuilder;
using avitest::makeSimpleAvi;
using avitest::TestFile;
namespace err = avi::errors;
using Bytes = std::vector<char>;

namespace {

std::uint32_t row24(std::int32_t w) { return (static_cast<std::uint32_t>(w) * 3 + 3) & ~3u; }
// Byte k of frame i, as makeSimpleAvi and makeOpenDml store it.
char frameByte(std::uint32_t i, std::uint32_t k) { return static_cast<char>(i * 16 + k); }

std::size_t find(const Bytes& b, const char* id) { return std::search(b.begin(), b.end(), id, id + 4) - b.begin(); }
constexpr auto put32 = &AviBuilder::put32;

// An OpenDML file of 24-bit frames: one RIFF segment per element of `segments` (its frame
// count), each movi list ending in its ix00, a super index listing them, and no idx1.
// `nested` puts one more super index between the header's and the standard indexes.
Bytes makeOpenDml(const std::vector<std::uint32_t>& segments, std::int32_t w, std::int32_t h, bool nested = false) {
    const std::uint32_t size = row24(w) * static_cast<std::uint32_t>(h);
    AviBuilder b;
    b.begin("RIFF", "AVI ");
    b.begin("LIST", "hdrl");
    b.chunk("avih", AviBuilder::avih(40000, 0x10, 0, 1, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)));
    b.begin("LIST", "strl");
    b.chunk("strh", AviBuilder::strh("vids", 1, 25, 0));
    b.chunk("strf", AviBuilder::bitmap(w, h, 24));
    const std::size_t indx = b.size() + 8;
    b.chunk("indx", AviBuilder::superIndex("00db", std::vector<std::pair<std::uint64_t, std::uint32_t>>(
                                                       nested ? 1 : segments.size(), {0, 0})));
    b.end().end();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> ix;  // where each ix00 is, and its size
    std::uint32_t frame = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        if (s > 0) b.end().begin("RIFF", "AVIX");
        const std::uint64_t base = b.begin("LIST", "movi");
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
        for (std::uint32_t i = 0; i < segments[s]; ++i, ++frame) {
            entries.emplace_back(static_cast<std::uint32_t>(b.size() + 8 - base), size);
            std::string data(size, '\0');
            for (std::uint32_t k = 0; k < size; ++k) data[k] = frameByte(frame, k);
            b.chunk("00db", data);
        }
        const std::string body = AviBuilder::standardIndex("00db", base, entries);
        ix.emplace_back(b.size(), static_cast<std::uint32_t>(body.size() + 8));
        b.chunk("ix00", body);
        if (nested && s + 1 == segments.size()) {
            const std::size_t inner = b.size();
            b.chunk("ix00", AviBuilder::superIndex("00db", ix));
            ix = {{inner, static_cast<std::uint32_t>(b.size() - inner)}};
        }
    }
    b.end().end();
    const std::string super = AviBuilder::superIndex("00db", ix);  // same length as the placeholder
    std::copy(super.begin(), super.end(), b.bytes.begin() + static_cast<std::ptrdiff_t>(indx));
    return b.bytes;
}

}  // namespace

TEST(Read, SequentialAndNumberedFramesThroughEachIndexSource) {
    const struct {
        const char* name;
        Bytes bytes;
        std::uint32_t frames;
        std::int32_t w, h;  // h < 0: stored top-down, delivered bottom-up
    } cases[] = {
        {"idx1", makeSimpleAvi(3, 5, 2, true, true), 3, 5, 2},
        {"scan of movi", makeSimpleAvi(3, 5, 2, true, false), 3, 5, 2},
        {"top-down, 3 rows", makeSimpleAvi(2, 4, -3, false, true), 2, 4, -3},
        {"top-down, 1 row", makeSimpleAvi(1, 4, -1, false, false), 1, 4, -1},
        {"OpenDML, one segment", makeOpenDml({3}, 3, 2), 3, 3, 2},
        {"OpenDML, three segments", makeOpenDml({2, 3, 1}, 3, 2), 6, 3, 2},
        {"OpenDML, nested super index", makeOpenDml({2, 2}, 4, 1, true), 4, 4, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestFile f;
        ASSERT_TRUE(f.openBytes(c.bytes)) << f.getErrorMsg();
        ASSERT_EQ(f.getVideoTotalFrames(), c.frames);
        const std::uint32_t row = row24(c.w), rows = static_cast<std::uint32_t>(std::abs(c.h)), size = row * rows;
        ASSERT_EQ(f.getRawVideoFrameSize(0), size);
        EXPECT_EQ(f.getVideoHeight(), rows);
        const auto expected = [&](std::uint32_t i, std::uint32_t k) {
            return frameByte(i, c.h > 0 ? k : (rows - 1 - k / row) * row + k % row);
        };
        Bytes buf(size);
        for (std::uint32_t i = 0; i < c.frames; ++i) {
            EXPECT_FALSE(f.isEndOfVideo());
            f.readVideoFrame(buf.data());
            ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
            for (std::uint32_t k = 0; k < size; ++k)
                ASSERT_EQ(buf[k], expected(i, k)) << "frame " << i << " byte " << k;
        }
        EXPECT_TRUE(f.isEndOfVideo());
        std::fill(buf.begin(), buf.end(), 'x');
        f.readVideoFrame(buf.data());  // past the end: nothing, and no error
        EXPECT_EQ(f.getErrorCode(), err::ERR_NONE);
        EXPECT_EQ(buf[0], 'x');
        f.readVideoFrame(buf.data(), c.frames - 1);  // by number: does not move the sequential position
        EXPECT_EQ(buf[0], expected(c.frames - 1, 0));
        EXPECT_EQ(f.getVideoFramesRead(), c.frames);
        f.readVideoFrame(buf.data(), -7);  // out of range either way: nothing read
        f.readVideoFrame(buf.data(), c.frames);
        EXPECT_EQ(buf[0], expected(c.frames - 1, 0));
    }
}

TEST(Read, AudioIsOneStreamAcrossChunksZeroFilledAtItsEnd) {
    // Three-byte chunks 0 1 2 | 3 4 5; a scanned index counts each chunk's pad byte.
    const struct {
        bool idx1;
        std::uint32_t chunk;
        std::string first4, next4;
    } cases[] = {{true, 3, std::string("\0\1\2\3", 4), std::string("\4\5\0\0", 4)},
                 {false, 4, std::string("\0\1\2\0", 4), std::string("\3\4\0\0", 4)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.idx1);
        TestFile f;
        ASSERT_TRUE(f.openBytes(makeSimpleAvi(2, 4, 1, true, c.idx1)));
        ASSERT_EQ(f.getAudioTotalBytes(), 6u);
        EXPECT_EQ(f.getAudioChunkSize(), c.chunk);
        char b[4] = {9, 9, 9, 9};
        f.readAudio(b, 0);
        f.readAudio(b, 4);
        EXPECT_EQ(std::string(b, 4), c.first4);
        std::fill(b, b + 4, 9);
        f.readAudio(b, 4);  // two bytes left: the rest is zero-filled
        EXPECT_EQ(std::string(b, 4), c.next4);
        EXPECT_TRUE(f.isEndOfAudio());
        b[0] = 'x';
        f.readAudio(b, 4);
        EXPECT_EQ(b[0], 'x');
        EXPECT_EQ(f.getErrorCode(), err::ERR_NONE);
        f.resetAudio();
        f.readAudio(b, 1);
        EXPECT_EQ(b[0], 0);
    }
    TestFile silent;
    ASSERT_TRUE(silent.openBytes(makeSimpleAvi(1, 4, 1, false, true)));
    EXPECT_TRUE(silent.isEndOfAudio());
    char b[2];
    silent.readAudio(b, 2);
    EXPECT_EQ(silent.getErrorCode(), err::ERR_COMPRESSED_AUDIO);
}

TEST(Read, HostileFilesEndInAnErrorCode) {
    const Bytes good = makeSimpleAvi(2, 4, 2, true, true);
    const std::size_t strl = find(good, "strl"), strf = find(good, "strf"), idx1 = find(good, "idx1");
    const std::size_t movi = find(good, "movi"), avih = find(good, "avih");
    auto with = [&](std::function<void(Bytes&)> edit, Bytes b = {}) {
        if (b.empty()) b = good;
        edit(b);
        return b;
    };
    const Bytes odml = makeOpenDml({2}, 4, 1);
    const std::size_t indx = find(odml, "indx");
    const struct {
        const char* name;
        Bytes bytes;
        bool opens;
        err::error_T code;
    } cases[] = {
        {"not RIFF", with([](Bytes& b) { std::memcpy(b.data(), "RIFX", 4); }), false, err::ERR_RIFF_CHUNK_MISSING},
        {"WAVE form", with([](Bytes& b) { std::memcpy(b.data() + 8, "WAVE", 4); }), false, err::ERR_WAVE_FILE},
        {"no hdrl", with([](Bytes& b) { std::memcpy(b.data() + 20, "hdrX", 4); }), false, err::ERR_MAIN_HEADER_MISSING},
        {"JUNK before the strl", with([&](Bytes& b) { std::memcpy(b.data() + strl - 8, "JUNK", 4); }), false,
         err::ERR_STREAM_LIST_MISSING},
        {"9 streams", with([&](Bytes& b) { put32(b, avih + 8 + 24, 9); }), false, err::ERR_TOO_MANY_STREAMS},
        {"strl of 4 GiB", with([&](Bytes& b) { put32(b, strl - 4, 0xFFFFFFF0u); }), false, err::ERR_FREAD_FAILED},
        {"strf past its list", with([&](Bytes& b) { put32(b, strf + 4, 0x7FFFFFF0u); }), false,
         err::ERR_BAD_STRL_LENGTH},
        {"bitmap header of 12 bytes", with([&](Bytes& b) { put32(b, strf + 4, 12); }), false, err::ERR_BAD_STRL_LENGTH},
        {"hdrl of 4 GiB", with([](Bytes& b) { put32(b, 16, 0xFFFFFFFCu); }), false, err::ERR_ALL_CHUNKS_MISSING},
        {"idx1 entry far outside the file", with([&](Bytes& b) { put32(b, idx1 + 16, 0x7FFFFF00u); }), false,
         err::ERR_VIDEO_CHUNKS_MISSING},
        {"idx1 claiming 4 GiB", with([&](Bytes& b) { put32(b, idx1 + 4, 0xFFFFFFF0u); }), false,
         err::ERR_LEGACY_INDEX_PARSE},
        {"zero-sized movi, no index",
         with([&](Bytes& b) { put32(b, movi - 4, 0); }, makeSimpleAvi(2, 4, 2, true, false)), false,
         err::ERR_ALL_CHUNKS_MISSING},
        {"top-down height of a billion rows",
         with([&](Bytes& b) { put32(b, strf + 16, 0xC2000002u); }, makeSimpleAvi(2, 4, -2, false, true)), true,
         err::ERR_NONE},
        {"width x height beyond 32 bits",
         with([&](Bytes& b) { put32(b, strf + 12, 0x40000000u), put32(b, strf + 16, 0x40000000u); }), true,
         err::ERR_NONE},
        {"2^32 - 16 frames claimed, none stored",
         with(
             [](Bytes& b) { put32(b, find(b, "avih") + 24, 0xFFFFFFF0u), std::memcpy(&b[find(b, "00db")], "JUNK", 4); },
             makeSimpleAvi(1, 4, 1, false, false)),
         true, err::ERR_NONE},
        {"super index naming itself",
         with([&](Bytes& b) { put32(b, indx + 32, static_cast<std::uint32_t>(indx)), put32(b, indx + 40, 48); }, odml),
         false, err::ERR_INVALID_INDEX},
        {"super index claiming 2^32 - 1 entries", with([&](Bytes& b) { put32(b, indx + 12, 0xFFFFFFFFu); }, odml),
         false, err::ERR_INVALID_INDEX},
        {"standard index claiming 2^32 - 1 entries",
         with([](Bytes& b) { put32(b, find(b, "ix00") + 12, 0xFFFFFFFFu); }, odml), false, err::ERR_INVALID_INDEX},
        {"AVIX super-index entry past the end",
         with([](Bytes& b) { put32(b, find(b, "indx") + 52, 256); }, makeOpenDml({1, 1}, 4, 1)), false,
         err::ERR_FREAD_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto t0 = std::chrono::steady_clock::now();
        TestFile f;
        EXPECT_EQ(f.openBytes(c.bytes), c.opens);
        EXPECT_EQ(f.getErrorCode(), c.code) << f.getErrorMsg();
        // The frames are those the index holds, whatever the header claims.
        EXPECT_EQ(f.getVideoTotalFrames(), c.opens ? f.videoIndex.size() : f.getVideoTotalFrames());
        if (c.opens) avitest::readEverything(f);
        // Files of a few hundred bytes: anything near a second is a loop the file drives.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
    }
}

TEST(Read, EveryTruncationIsSafe) {
    // Every prefix of a small file of each index kind, opened and read to the end.
    for (const Bytes& whole : {makeSimpleAvi(3, 3, 2, true, true), makeOpenDml({2, 1}, 3, 1)})
        for (std::size_t n = 0; n < whole.size(); ++n) {
            TestFile f;
            if (f.openBytes(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n))))
                avitest::readEverything(f);
        }
}
