// Reading: frames and audio in every form, the three index sources, and hostile files that
// must end in an error code, never a crash, a hang or an allocation the file cannot justify.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

#include "AviBuilder.h"
#include "MemoryFileHandler.h"
#include "TestFile.h"

using avitest::AviBuilder;
using avitest::makeSimpleAvi;
using avitest::MemoryFileHandler;
using avitest::TestFile;
namespace err = avi::errors;
using Bytes = std::vector<char>;

namespace {

std::uint32_t row24(std::int32_t w) { return (static_cast<std::uint32_t>(w) * 3 + 3) & ~3u; }

// Byte k of frame i, as makeSimpleAvi and makeOpenDml store it.
char frameByte(std::uint32_t i, std::uint32_t k) { return static_cast<char>(i * 16 + k); }

bool openBytes(TestFile& f, Bytes bytes) {
    auto mem = std::make_shared<MemoryFileHandler>();
    mem->put(u"in.avi", std::move(bytes));
    return f.openWith(mem, u"in.avi", "r");
}

std::size_t find(const Bytes& b, const char* id, std::size_t from = 0) {
    const auto it = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), id, id + 4);
    return static_cast<std::size_t>(it - b.begin());
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    put32(b, at, static_cast<std::uint32_t>(v));
    put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

// An OpenDML file of 24-bit frames: one RIFF segment per element of `segments` (its frame
// count), each movi list ending in its ix00, a super index listing them, and no idx1.
// `nested` puts one more super index between the header's and the standard indexes.
Bytes makeOpenDml(const std::vector<std::uint32_t>& segments, std::int32_t w, std::int32_t h, bool nested = false) {
    const std::uint32_t size = row24(w) * static_cast<std::uint32_t>(h);
    std::uint32_t total = 0;
    for (auto n : segments) total += n;
    AviBuilder b;
    b.begin("RIFF", "AVI ");
    b.begin("LIST", "hdrl");
    b.chunk("avih", AviBuilder::avih(40000, 0x10, 0, 1, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)));
    b.begin("LIST", "strl");
    b.chunk("strh", AviBuilder::strh("vids", 1, 25, total));
    b.chunk("strf", AviBuilder::bitmap(w, h, 24));
    const std::size_t indx = b.size() + 8;
    const std::size_t slots = nested ? 1 : segments.size();
    b.chunk("indx", AviBuilder::superIndex("00db", std::vector<std::pair<std::uint64_t, std::uint32_t>>(slots, {0, 0})));
    b.end();
    b.end();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> ix;  // where each ix00 is, and its size
    std::uint32_t frame = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        if (s > 0) {
            b.end();
            b.begin("RIFF", "AVIX");
        }
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
    b.end();
    b.end();
    for (std::size_t i = 0; i < ix.size(); ++i) {
        put64(b.bytes, indx + 24 + 16 * i, ix[i].first);
        put32(b.bytes, indx + 32 + 16 * i, ix[i].second);
    }
    return b.bytes;
}

// Reads everything the file offers in all three forms and all audio, with buffers sized
// from the getters; returns the frames read without an error.
std::uint32_t drain(TestFile& f) {
    std::uint64_t need = std::max<std::uint64_t>({f.videoFrameSize, f.getRGB24VideoFrameSize(),
                                                  f.getIndexedVideoFrameSize(), f.paddedAudioChunkSize});
    for (const auto& e : f.videoIndex) need = std::max<std::uint64_t>(need, e.getSize());
    if (need > (64u << 20)) return 0;
    Bytes buf(static_cast<std::size_t>(need) + 1);
    std::uint32_t ok = 0;
    for (long long i = 0; i < static_cast<long long>(f.getVideoTotalFrames()) + 1; ++i) {
        f.readVideoFrame(buf.data(), i);
        ok += f.getErrorCode() == err::ERR_NONE ? 1 : 0;
        f.readIndexedVideoFrame(buf.data(), i);
        f.readRGB24VideoFrame(buf.data(), i);
    }
    for (int i = 0; i < 64 && !f.isEndOfAudio() && f.getErrorCode() == err::ERR_NONE; ++i)
        f.readAudio(buf.data(), static_cast<unsigned long>(buf.size()));
    return ok;
}

}  // namespace

TEST(Read, SequentialAndNumberedFramesThroughEachIndexSource) {
    const struct {
        const char* name;
        Bytes bytes;
        std::uint32_t frames;
        std::int32_t w, h;
    } cases[] = {
        {"idx1", makeSimpleAvi(3, 5, 2, true, true), 3, 5, 2},
        {"scan of movi", makeSimpleAvi(3, 5, 2, true, false), 3, 5, 2},
        {"OpenDML, one segment", makeOpenDml({3}, 3, 2), 3, 3, 2},
        {"OpenDML, three segments", makeOpenDml({2, 3, 1}, 3, 2), 6, 3, 2},
        {"OpenDML, nested super index", makeOpenDml({2, 2}, 4, 1, true), 4, 4, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestFile f;
        ASSERT_TRUE(openBytes(f, c.bytes)) << f.getErrorMsg();
        ASSERT_EQ(f.getVideoTotalFrames(), c.frames);
        const std::uint32_t size = row24(c.w) * static_cast<std::uint32_t>(c.h);
        ASSERT_EQ(f.getRawVideoFrameSize(0), size);
        Bytes buf(size);
        for (std::uint32_t i = 0; i < c.frames; ++i) {
            EXPECT_FALSE(f.isEndOfVideo());
            f.readVideoFrame(buf.data());
            ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
            for (std::uint32_t k = 0; k < size; ++k) ASSERT_EQ(buf[k], frameByte(i, k)) << "frame " << i;
        }
        EXPECT_TRUE(f.isEndOfVideo());
        std::fill(buf.begin(), buf.end(), 'x');
        f.readVideoFrame(buf.data());  // past the end: nothing, and no error
        EXPECT_EQ(f.getErrorCode(), err::ERR_NONE);
        EXPECT_EQ(buf[0], 'x');
        f.readVideoFrame(buf.data(), 1);  // by number: does not move the sequential position
        EXPECT_EQ(buf[1], frameByte(1, 1));
        EXPECT_EQ(f.getVideoFramesRead(), c.frames);
        f.readVideoFrame(buf.data(), -7);  // out of range either way: nothing read
        f.readVideoFrame(buf.data(), c.frames);
        EXPECT_EQ(buf[1], frameByte(1, 1));
    }
}

TEST(Read, TopDownFramesAreDeliveredBottomUp) {
    for (std::int32_t h : {-3, -1}) {
        TestFile f;
        ASSERT_TRUE(openBytes(f, makeSimpleAvi(1, 4, h, false, true)));
        EXPECT_EQ(f.getVideoHeight(), static_cast<std::uint32_t>(-h));
        EXPECT_TRUE(f.topDown);
        Bytes buf(12 * static_cast<std::size_t>(-h));
        f.readVideoFrame(buf.data(), 0);
        for (std::int32_t r = 0; r < -h; ++r)
            for (int k = 0; k < 12; ++k)
                ASSERT_EQ(buf[static_cast<std::size_t>(r * 12 + k)], frameByte(0, static_cast<std::uint32_t>((-h - 1 - r) * 12 + k)))
                    << "row " << r;
    }
}

TEST(Read, AudioIsOneStreamAcrossChunksZeroFilledAtItsEnd) {
    for (bool idx1 : {true, false}) {
        SCOPED_TRACE(idx1 ? "idx1" : "scan");
        TestFile f;
        ASSERT_TRUE(openBytes(f, makeSimpleAvi(2, 4, 1, true, idx1)));
        ASSERT_EQ(f.getAudioTotalBytes(), 6u);
        // Scanned odd chunks are indexed at their rounded size, the stored size otherwise.
        EXPECT_EQ(f.getAudioChunkSize(), idx1 ? 3u : 4u);
        char b[4] = {9, 9, 9, 9};
        f.readAudio(b, 0);
        EXPECT_EQ(f.getAudioBytesRead(), 0u);
        f.readAudio(b, 4);
        EXPECT_EQ(f.getAudioBytesRead(), 4u);
        if (!idx1) continue;  // the pad byte is delivered as audio by a scanned index
        EXPECT_EQ(std::string(b, 4), std::string("\0\1\2\3", 4));
        EXPECT_EQ(f.audioChunkNumber, 1u);
        EXPECT_EQ(f.audioChunkOffset, 1u);
        f.readAudio(b, 4);
        EXPECT_EQ(std::string(b, 4), std::string("\4\5\0\0", 4));
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
    ASSERT_TRUE(openBytes(silent, makeSimpleAvi(1, 4, 1, false, true)));
    EXPECT_TRUE(silent.isAudioCompressed());
    EXPECT_TRUE(silent.isEndOfAudio());
    char b[2];
    silent.readAudio(b, 2);
    EXPECT_EQ(silent.getErrorCode(), err::ERR_COMPRESSED_AUDIO);
}

TEST(Read, PaletteAnd16And32BitConversion) {
    // One frame of each depth, 3 pixels wide and 2 high, with known pixel values.
    struct Case {
        std::uint16_t bits;
        std::string raw;                                // stored rows, padded to 4 bytes
        std::vector<std::uint32_t> palette;             // 0x00RRGGBB
        std::string rgb;                                // expected BGR rows, 12 bytes each (3 pad)
    };
    const std::string pad3(3, '\0');
    const Case cases[] = {
        {8, std::string("\0\1\2\0\2\1\0\0", 8), {0x140A00, 0x150B01, 0x160C02},
         std::string("\0\12\24\1\13\25\2\14\26", 9) + pad3 + std::string("\2\14\26\1\13\25\0\12\24", 9) + pad3},
        // 0x7FFF white, 0x001F blue, 0x8000 (only the unused bit) black.
        {16, std::string("\xFF\x7F\x1F\0\0\x80\0\0", 8) + std::string("\x1F\0\x1F\0\x1F\0\0\0", 8), {},
         std::string("\xF8\xF8\xF8\xF8\0\0\0\0\0", 9) + pad3 + std::string("\xF8\0\0\xF8\0\0\xF8\0\0", 9) + pad3},
        {32, std::string("\1\2\3\4\5\6\7\10\11\12\13\14", 12) + std::string("\15\16\17\20\21\22\23\24\25\26\27\30", 12), {},
         std::string("\1\2\3\5\6\7\11\12\13", 9) + pad3 + std::string("\15\16\17\21\22\23\25\26\27", 9) + pad3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        AviBuilder b;
        b.begin("RIFF", "AVI ");
        b.begin("LIST", "hdrl");
        b.chunk("avih", AviBuilder::avih(40000, 0x10, 1, 1, 3, 2));
        b.begin("LIST", "strl");
        b.chunk("strh", AviBuilder::strh("vids", 1, 25, 1));
        b.chunk("strf", AviBuilder::bitmap(3, 2, c.bits, 0, c.palette));
        b.end();
        b.end();
        b.begin("LIST", "movi");
        b.chunk("00db", c.raw);
        b.end();
        b.end();
        TestFile f;
        ASSERT_TRUE(openBytes(f, b.bytes)) << f.getErrorMsg();
        ASSERT_GE(f.getRGB24VideoFrameSize(), 24u);
        Bytes out(f.getRGB24VideoFrameSize(), 0);
        f.readRGB24VideoFrame(out.data(), 0);
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        for (std::size_t i = 0; i < c.rgb.size(); ++i)
            if (i % 12 < 9) {
                ASSERT_EQ(static_cast<unsigned char>(out[i]), static_cast<unsigned char>(c.rgb[i])) << i;
            }
        if (c.bits == 8) {
            EXPECT_EQ(f.getIndexedVideoFrameSize(), 8u);
            f.readIndexedVideoFrame(out.data(), 0);
            EXPECT_EQ(std::string(out.data(), 8), c.raw);
        }
    }
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
    auto selfRef = [] {
        Bytes b = makeOpenDml({2}, 4, 1);
        const std::size_t indx = find(b, "indx");
        put64(b, indx + 8 + 24, indx);  // the super index names itself
        put32(b, indx + 8 + 32, 8 + 24 + 16);
        return b;
    };
    const struct {
        const char* name;
        Bytes bytes;
        bool opens;
        err::error_T code;
    } cases[] = {
        {"not RIFF", with([](Bytes& b) { std::memcpy(b.data(), "RIFX", 4); }), false, err::ERR_RIFF_CHUNK_MISSING},
        {"WAVE form", with([](Bytes& b) { std::memcpy(b.data() + 8, "WAVE", 4); }), false, err::ERR_WAVE_FILE},
        {"no hdrl", with([&](Bytes& b) { std::memcpy(b.data() + 20, "hdrX", 4); }), false, err::ERR_MAIN_HEADER_MISSING},
        {"JUNK before the strl", with([&](Bytes& b) { std::memcpy(b.data() + strl - 8, "JUNK", 4); }), false,
         err::ERR_STREAM_LIST_MISSING},
        {"9 streams", with([&](Bytes& b) { put32(b, avih + 8 + 24, 9); }), false, err::ERR_TOO_MANY_STREAMS},
        {"strl of 4 GiB", with([&](Bytes& b) { put32(b, strl - 4, 0xFFFFFFF0u); }), false, err::ERR_FREAD_FAILED},
        {"strf past its list", with([&](Bytes& b) { put32(b, strf + 4, 0x7FFFFFF0u); }), false, err::ERR_BAD_STRL_LENGTH},
        {"bitmap header of 12 bytes", with([&](Bytes& b) { put32(b, strf + 4, 12); }), false, err::ERR_BAD_STRL_LENGTH},
        {"hdrl of 4 GiB", with([](Bytes& b) { put32(b, 16, 0xFFFFFFFCu); }), false, err::ERR_ALL_CHUNKS_MISSING},
        {"idx1 entry far outside the file", with([&](Bytes& b) { put32(b, idx1 + 16, 0x7FFFFF00u); }), false,
         err::ERR_VIDEO_CHUNKS_MISSING},
        {"idx1 claiming 4 GiB", with([&](Bytes& b) { put32(b, idx1 + 4, 0xFFFFFFF0u); }), false,
         err::ERR_LEGACY_INDEX_PARSE},
        {"zero-sized movi, no index", with([&](Bytes& b) { put32(b, movi - 4, 0); }, makeSimpleAvi(2, 4, 2, true, false)),
         false, err::ERR_ALL_CHUNKS_MISSING},
        {"top-down height of a billion rows",
         with([&](Bytes& b) { put32(b, strf + 16, 0xC2000002u); }, makeSimpleAvi(2, 4, -2, false, true)), true,
         err::ERR_NONE},
        {"width x height beyond 32 bits",
         with([&](Bytes& b) { put32(b, strf + 12, 0x40000000u), put32(b, strf + 16, 0x40000000u); }), true,
         err::ERR_NONE},
        {"super index naming itself", selfRef(), false, err::ERR_INVALID_INDEX},
        {"super index claiming 2^32 - 1 entries",
         with([](Bytes& b) { put32(b, find(b, "indx") + 12, 0xFFFFFFFFu); }, makeOpenDml({2}, 4, 1)), false,
         err::ERR_INVALID_INDEX},
        {"standard index claiming 2^32 - 1 entries",
         with([](Bytes& b) { put32(b, find(b, "ix00") + 12, 0xFFFFFFFFu); }, makeOpenDml({2}, 4, 1)), false,
         err::ERR_INVALID_INDEX},
        {"AVIX super-index entry past the end",
         with([](Bytes& b) { put64(b, find(b, "indx") + 8 + 24 + 16, 1ULL << 40); }, makeOpenDml({1, 1}, 4, 1)),
         false, err::ERR_FREAD_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto t0 = std::chrono::steady_clock::now();
        TestFile f;
        EXPECT_EQ(openBytes(f, c.bytes), c.opens);
        EXPECT_EQ(f.getErrorCode(), c.code) << f.getErrorMsg();
        if (c.opens) drain(f);
        // Files of a few hundred bytes: anything near a second is a loop the file drives.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
    }
}

TEST(Read, FramesAreThoseTheIndexHolds) {
    // The header claims 2^32 - 16 frames; the movi list holds none of the stream's chunks.
    Bytes b = makeSimpleAvi(2, 4, 1, false, false);
    put32(b, find(b, "avih") + 8 + 16, 0xFFFFFFF0u);
    for (std::size_t at = find(b, "00db"); at < b.size(); at = find(b, "00db", at)) std::memcpy(&b[at], "JUNK", 4);
    TestFile f;
    ASSERT_TRUE(openBytes(f, b)) << f.getErrorMsg();
    EXPECT_EQ(f.getVideoTotalFrames(), 0u);
    EXPECT_TRUE(f.isEndOfVideo());
}

TEST(Read, EveryTruncationIsSafe) {
    // Every prefix of a small file of each index kind, opened and read to the end.
    for (const Bytes& whole : {makeSimpleAvi(3, 3, 2, true, true), makeOpenDml({2, 1}, 3, 1)}) {
        for (std::size_t n = 0; n < whole.size(); ++n) {
            TestFile f;
            if (openBytes(f, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)))) drain(f);
        }
    }
}
