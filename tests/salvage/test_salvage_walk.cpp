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

namespace {

using avitest::Avi;
using avitest::build;
using avitest::Chunk;

// Frames of 2x1 pixels at 24 bits are 8 bytes; audio is 8-bit mono unless said otherwise.
std::string frame(unsigned i) { return std::string(8, static_cast<char>('a' + i)); }
std::string xyz(unsigned) { return "xyz"; }
Avi avi(std::vector<std::vector<Chunk>> segments, Avi::Idx1 idx1 = Avi::NoIdx1) {
    return {{avitest::video(2, 1), avitest::audio()}, segments, idx1};
}

struct Case {
    const char* name;
    avitest::Bytes bytes;
    unsigned video, audio, dropped, rec;
    bool resync;
    salvage::IndexState idx1;
};

// An interleave list of frame i and its audio.
Chunk rec(unsigned i) { return avitest::list("rec ", {{"00db", frame(i)}, {"01wb", "xyz"}}); }
Chunk nested(int depth) { return depth ? avitest::list("movi", {nested(depth - 1)}) : Chunk{"00db", frame(0)}; }

avitest::Bytes noise() {
    avitest::Bytes b;
    for (int i = 0; i < 4096; ++i) b.push_back(static_cast<char>(i * 7919 % 251));
    return b;
}

const Case cases[] = {
    {"interleave lists", build(avi({{rec(0), rec(1)}})), 2, 2, 0, 2, false, salvage::IndexState::Absent},
    {"odd chunks left unpadded, an empty frame",
     build(avi({{{"01wb", "xyz", -1, false},
                 {"00db", frame(0)},
                 {"01wb", "xyz", -1, false},
                 {"00db", frame(1)},
                 {"01wb", "xyz", -1, false},
                 {"00db", frame(2)},
                 {"00db", ""}}})),
     4, 3, 1, 0, false, salvage::IndexState::Absent},
    {"sizes that lie, intact chunks, a stray byte",
     build(avi({{{"00db", frame(0)},
                 {"00db", "garbage!", 0xFFFFFFF0},
                 {"\xff\xff\xff\xff", "", 7},
                 {"00db", frame(1)},
                 {"01wb", "xyz"},
                 {"", "\1"},
                 {"00db", frame(2)}}})),
     3, 1, 0, 0, true, salvage::IndexState::Absent},
    {"lists nested beyond reason", build([] {
         Avi a = avi({{nested(199)}}, Avi::Relative);
         a.editIdx1 = [](auto& e) { e = {{"00db", 0x10, 4, 8}, {"00db", 0x10, 1 << 30, 8}}; };
         return a;
     }()),
     0, 0, 0, 0, false, salvage::IndexState::Disagrees},
    {"noise", noise(), 0, 0, 0, 0, true, salvage::IndexState::Absent},
};

class SalvageWalk : public ::testing::TestWithParam<Case> {};

TEST_P(SalvageWalk, RecoversWhatIsIntact) {
    const Case& c = GetParam();
    SCOPED_TRACE(c.name);
    avitest::MemoryFileHandler handler;
    handler.put(u"f.avi", c.bytes);
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
        ASSERT_LE(chunk.offset + chunk.size, c.bytes.size());
        const std::string data(c.bytes.data() + chunk.offset, chunk.size);
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
    avitest::Bytes bytes;
    salvage::IndexKind index;
    bool absolute;
    unsigned walked;
    // A letter per frame, its content ('a': frame(0)); upper case: not a key frame; '-' a
    // dropped frame; '!' a frame whose read must fail and say which frame.
    std::string frames, audio;
};

// Two segments of two frames (the second not a key frame) with their audio, indexed by ix00
// and ix01 in each segment or only in the first; the file ends 3 bytes early.
avitest::Bytes openDml(std::size_t indexed) {
    Avi a = avi({avitest::interleave(0, 2, frame, xyz), avitest::interleave(2, 4, frame, xyz)});
    a.segments[0][2].key = false;
    a.odml = true;
    a.odmlSegments = indexed;
    return build(a, {}, -3);
}

const TolerantCase tolerantCases[] = {
    {"idx1 offsets that are file positions (GStreamer)",
     build(avi({avitest::interleave(0, 3, frame, xyz)}, Avi::Absolute)), salvage::IndexKind::Idx1, true, 0, "abc",
     "xyzxyzxyz"},
    {"idx1 entries no check at open meets: one at an audio chunk, one of the wrong size", build([] {
         Avi a = avi({avitest::interleave(0, 10, frame, xyz)}, Avi::Relative);
         a.editIdx1 = [](auto& e) { e[8].offset = e[9].offset, e[12].size = 6; };  // frames 4 and 6
         return a;
     }()),
     salvage::IndexKind::Idx1, false, 0, "abcd!f!hij", "xyzxyzxyzxyzxyzxyzxyzxyzxyzxyz"},
    {"OpenDML: a non-key frame; the file ends inside the second segment's audio index", openDml(2),
     salvage::IndexKind::OpenDML, false, 0, "aBcd", "xyzxyzxyzxyz"},
    {"OpenDML: the file ends inside the second segment, before its indexes", openDml(1), salvage::IndexKind::OpenDML,
     false, 2, "aBcd", "xyzxyzxyzx"},
    {"interleave lists and a dropped frame, no index", build(avi({{rec(0), rec(1), {"00db", ""}, {"00db", frame(2)}}})),
     salvage::IndexKind::Walk, false, 4, "ab-c", "xyzxyz"},
    {"a cut audio chunk keeps its whole sample frames",
     build({{avitest::video(2, 1), avitest::audio(2, 16)},
            {{{"00db", frame(0)}, {"01wb", "ABCDEFGH"}, {"01wb", "IJKLMNOP"}}},
            Avi::NoIdx1},
           {}, -2),
     salvage::IndexKind::Walk, false, 1, "a", "ABCDEFGHIJKL"},
};

class TolerantRead : public ::testing::TestWithParam<TolerantCase> {};

TEST_P(TolerantRead, GivesWhatIsThereOrSaysWhy) {
    const TolerantCase& c = GetParam();
    SCOPED_TRACE(c.name);
    auto handler = std::make_shared<avitest::MemoryFileHandler>();
    handler->put(u"f.avi", c.bytes);
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
