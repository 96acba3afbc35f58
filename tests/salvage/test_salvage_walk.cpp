// The salvage walker and the tolerant reader on files built byte by byte: layouts ffmpeg and
// GStreamer do not make, and hostile ones. Each case says what must be recovered; the
// recovered bytes are compared with those written.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "AviBuilder.h"
#include "MemoryFileHandler.h"
#include "salvage/TolerantReader.h"
#include "salvage/salvage.h"

using avitest::AviBuilder;

namespace {

// Frames of 2x1 pixels at 24 bits are 8 bytes; audio is 8-bit mono.
std::string frame(int i) { return std::string(8, static_cast<char>('a' + i)); }

// Opens RIFF AVI, writes the headers and opens the movi list; returns the offset of its form type.
std::size_t start(AviBuilder& b, const std::string& wave = AviBuilder::wave(1, 1, 8000, 8)) {
    b.begin("RIFF", "AVI ");
    b.hdrl(AviBuilder::avih(40000, 0x10, 3, 2, 2, 1),
           {{AviBuilder::strh("vids", 1, 25, 3), AviBuilder::bitmap(2, 1, 24)},
            {AviBuilder::strh("auds", 1, 8000, 9, 1), wave}});
    return b.begin("LIST", "movi") + 8;
}

struct Case {
    const char* name;
    std::function<void(AviBuilder&)> build;
    unsigned video, audio, dropped, rec;
    bool resync;
    salvage::IndexState idx1;
};

const Case cases[] = {
    {"interleave lists",
     [](AviBuilder& b) {
         start(b);
         for (int i = 0; i < 2; ++i) {
             b.begin("LIST", "rec ");
             b.chunk("00db", frame(i)).chunk("01wb", "xyz");
             b.end();
         }
         b.end().end();
     },
     2, 2, 0, 2, false, salvage::IndexState::Absent},
    {"odd chunks left unpadded, an empty frame",
     [](AviBuilder& b) {
         start(b);
         for (int i = 0; i < 3; ++i) b.fourcc("01wb").u32(3).raw("xyz").chunk("00db", frame(i));
         b.chunk("00db", "");
         b.end().end();
     },
     4, 3, 1, 0, false, salvage::IndexState::Absent},
    {"sizes that lie, intact chunks, a stray byte",
     [](AviBuilder& b) {
         start(b);
         b.chunk("00db", frame(0));
         b.fourcc("00db").u32(0xFFFFFFF0).raw("garbage!").fourcc("\xff\xff\xff\xff").u32(7);
         b.chunk("00db", frame(1)).chunk("01wb", "xyz").u8(1).chunk("00db", frame(2));  // a stray byte
         b.end().end();
     },
     3, 1, 0, 0, true, salvage::IndexState::Absent},
    {"lists nested beyond reason",
     [](AviBuilder& b) {
         start(b);
         for (int i = 1; i < 200; ++i) b.begin("LIST", "movi");
         b.chunk("00db", frame(0));
         for (int i = 0; i < 200; ++i) b.end();
         b.chunk("idx1", AviBuilder::idx1({{"00db", 4, 8}, {"00db", 1 << 30, 8}}));
         b.end();
     },
     0, 0, 0, 0, false, salvage::IndexState::Disagrees},
    {"noise",
     [](AviBuilder& b) {
         for (int i = 0; i < 4096; ++i) b.u8(static_cast<std::uint8_t>(i * 7919 % 251));
     },
     0, 0, 0, 0, true, salvage::IndexState::Absent},
};

class SalvageWalk : public ::testing::TestWithParam<Case> {};

TEST_P(SalvageWalk, RecoversWhatIsIntact) {
    const Case& c = GetParam();
    SCOPED_TRACE(c.name);
    AviBuilder b;
    c.build(b);
    avitest::MemoryFileHandler handler;
    handler.put(u"f.avi", b.bytes);
    void* handle = handler.fopen(u"f.avi", "rb");
    ASSERT_NE(handle, nullptr);
    const salvage::Report r = salvage::scan(handler, handle, {}, "");
    handler.fclose(handle);
    EXPECT_EQ(r.videoChunks, c.video);
    EXPECT_EQ(r.audioChunks, c.audio);
    EXPECT_EQ(r.droppedFrames, c.dropped);
    EXPECT_EQ(r.recGroups, c.rec);
    EXPECT_EQ(r.resyncs > 0, c.resync);
    EXPECT_EQ(r.unaccounted > 0, c.resync || c.idx1 == salvage::IndexState::Disagrees);
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(r.idx1, c.idx1);
    int frames = 0;
    for (const auto& chunk : r.chunks) {
        ASSERT_LE(chunk.offset + chunk.size, b.bytes.size());
        const std::string data(b.bytes.data() + chunk.offset, chunk.size);
        if (!chunk.video) {
            EXPECT_EQ(data, "xyz") << "audio at " << chunk.offset;
        } else if (!data.empty()) {
            EXPECT_EQ(data, frame(frames++)) << "frame at " << chunk.offset;
        }
    }
}

// Cases are named by their number: their own names are sentences.
INSTANTIATE_TEST_SUITE_P(Files, SalvageWalk, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::to_string(i.index); });

struct TolerantCase {
    const char* name;
    std::function<std::vector<char>()> build;
    salvage::IndexKind index;
    bool absolute;
    unsigned walked;
    // A letter per frame, its content ('a': frame(0)); upper case: not a key frame; '-' a
    // dropped frame; '!' a frame whose read must fail and say which frame.
    std::string frames, audio;
};

// Frames with their audio chunk, and idx1 entries for them from base (0: file positions).
std::vector<AviBuilder::IdxEntry> interleave(AviBuilder& b, int frames, std::size_t base) {
    std::vector<AviBuilder::IdxEntry> idx;
    for (int i = 0; i < frames; ++i) {
        idx.push_back({"00db", static_cast<std::uint32_t>(b.size() - base), 8});
        b.chunk("00db", frame(i));
        idx.push_back({"01wb", static_cast<std::uint32_t>(b.size() - base), 3});
        b.chunk("01wb", "xyz");
    }
    return idx;
}

// Two segments of two frames (the second not a key frame) and two audio chunks, indexed by
// ix00 and ix01 in each segment when secondIndexed; the file ends 3 bytes early.
std::vector<char> openDml(bool secondIndexed) {
    AviBuilder b;
    b.begin("RIFF", "AVI ");
    b.begin("LIST", "hdrl");
    b.chunk("avih", AviBuilder::avih(40000, 0x10, 4, 2, 2, 1));
    const std::pair<std::string, std::string> streams[] = {
        {AviBuilder::strh("vids", 1, 25, 4), AviBuilder::bitmap(2, 1, 24)},
        {AviBuilder::strh("auds", 1, 8000, 12, 1), AviBuilder::wave(1, 1, 8000, 8)}};
    std::size_t indx[2];
    for (int s = 0; s < 2; ++s) {
        b.begin("LIST", "strl");
        b.chunk("strh", streams[s].first).chunk("strf", streams[s].second);
        indx[s] = b.size() + 8;
        b.chunk("indx", AviBuilder::superIndex(s ? "01wb" : "00db", {{0, 0}, {0, 0}})).end();
    }
    b.end();
    for (int segment = 0; segment < 2; ++segment) {
        if (segment == 1) b.begin("RIFF", "AVIX");
        b.begin("LIST", "movi");
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries[2];
        for (int i = 2 * segment; i < 2 * segment + 2; ++i) {
            entries[0].push_back({static_cast<std::uint32_t>(b.size() + 8), 8u | (i == 1 ? 0x80000000u : 0u)});
            b.chunk("00db", frame(i));
            entries[1].push_back({static_cast<std::uint32_t>(b.size() + 8), 3});
            b.chunk("01wb", "xyz");
        }
        for (int s = 0; s < 2 && (segment == 0 || secondIndexed); ++s) {
            AviBuilder::put32(b.bytes, indx[s] + 24 + 16 * segment, static_cast<std::uint32_t>(b.size()));
            AviBuilder::put32(b.bytes, indx[s] + 32 + 16 * segment, 8 + 24 + 8 * 2);
            b.chunk(s ? "ix01" : "ix00", AviBuilder::standardIndex(s ? "01wb" : "00db", 0, entries[s]));
        }
        b.end().end();
    }
    b.bytes.resize(b.size() - 3);
    return b.bytes;
}

const TolerantCase tolerantCases[] = {
    {"idx1 offsets that are file positions (GStreamer)",
     [] {
         AviBuilder b;
         start(b);
         const auto idx = interleave(b, 3, 0);
         b.end().chunk("idx1", AviBuilder::idx1(idx)).end();
         return b.bytes;
     },
     salvage::IndexKind::Idx1, true, 0, "abc", "xyzxyzxyz"},
    {"idx1 entries no check at open meets: one at an audio chunk, one of the wrong size",
     [] {
         AviBuilder b;
         const std::size_t movi = start(b);
         auto idx = interleave(b, 10, movi);
         idx[8].offset = idx[9].offset;  // frame 4
         idx[12].size = 6;               // frame 6
         b.end().chunk("idx1", AviBuilder::idx1(idx)).end();
         return b.bytes;
     },
     salvage::IndexKind::Idx1, false, 0, "abcd!f!hij", "xyzxyzxyzxyzxyzxyzxyzxyzxyzxyz"},
    {"OpenDML: a non-key frame; the file ends inside the second segment's audio index", [] { return openDml(true); },
     salvage::IndexKind::OpenDML, false, 0, "aBcd", "xyzxyzxyzxyz"},
    {"OpenDML: the file ends inside the second segment, before its indexes", [] { return openDml(false); },
     salvage::IndexKind::OpenDML, false, 2, "aBcd", "xyzxyzxyzx"},
    {"interleave lists and a dropped frame, no index",
     [] {
         AviBuilder b;
         start(b);
         for (int i = 0; i < 2; ++i) {
             b.begin("LIST", "rec ");
             b.chunk("00db", frame(i)).chunk("01wb", "xyz").end();
         }
         b.chunk("00db", "").chunk("00db", frame(2)).end().end();
         return b.bytes;
     },
     salvage::IndexKind::Walk, false, 4, "ab-c", "xyzxyz"},
    {"a cut audio chunk keeps its whole sample frames",
     [] {
         AviBuilder b;
         start(b, AviBuilder::wave(1, 2, 8000, 16));
         b.chunk("00db", frame(0)).chunk("01wb", "ABCDEFGH").chunk("01wb", "IJKLMNOP");
         b.bytes.resize(b.size() - 2);
         return b.bytes;
     },
     salvage::IndexKind::Walk, false, 1, "a", "ABCDEFGHIJKL"},
};

class TolerantRead : public ::testing::TestWithParam<TolerantCase> {};

TEST_P(TolerantRead, GivesWhatIsThereOrSaysWhy) {
    const TolerantCase& c = GetParam();
    SCOPED_TRACE(c.name);
    auto handler = std::make_shared<avitest::MemoryFileHandler>();
    handler->put(u"f.avi", c.build());
    salvage::TolerantReader r;
    ASSERT_TRUE(r.open(handler, u"f.avi", {}, "")) << r.error();
    EXPECT_EQ(r.findings().index, c.index);
    EXPECT_EQ(r.findings().absoluteOffsets, c.absolute);
    EXPECT_EQ(r.findings().walkedFrames, c.walked);
    std::string audio(r.audioBytes(), '\0');
    EXPECT_EQ(r.readAudio(0, audio.data(), audio.size()), audio.size());
    EXPECT_EQ(audio, c.audio);
    ASSERT_EQ(r.frames().size(), c.frames.size());
    std::string stored(8, '\0'), picture(6, '\0'), before(6, '\0');
    const salvage::Picture bgr;
    for (std::size_t i = 0; i < c.frames.size(); ++i) {
        const char code = c.frames[i];
        const salvage::FrameEntry& e = r.frames()[i];
        if (code == '!') {
            EXPECT_FALSE(r.readStored(i, stored.data()));
            EXPECT_NE(r.error().find("frame " + std::to_string(i) + ": the chunk at offset"), std::string::npos)
                << r.error();
            continue;
        }
        ASSERT_TRUE(r.readPicture(i, picture.data(), bgr)) << r.error();
        if (code == '-') {
            EXPECT_EQ(e.size, 0u);
            EXPECT_EQ(picture, before) << "a dropped frame shows the one before";
            continue;
        }
        EXPECT_TRUE(r.readStored(i, stored.data())) << r.error();
        EXPECT_EQ(stored, std::string(8, static_cast<char>(std::tolower(code)))) << "frame " << i;
        EXPECT_EQ(e.key, !std::isupper(code)) << "frame " << i;
        before = picture;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, TolerantRead, ::testing::ValuesIn(tolerantCases),
                         [](const ::testing::TestParamInfo<TolerantCase>& i) { return std::to_string(i.index); });

}  // namespace
