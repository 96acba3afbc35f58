// The salvage walker on files built byte by byte: layouts ffmpeg and GStreamer do not make,
// and hostile ones. Each case says what must be recovered; the recovered bytes are compared
// with those written.
#include <gtest/gtest.h>

#include <functional>

#include "AviBuilder.h"
#include "MemoryFileHandler.h"
#include "salvage/salvage.h"

using avitest::AviBuilder;

namespace {

// Frames of 2x1 pixels at 24 bits are 8 bytes; audio is 8-bit mono.
std::string frame(int i) { return std::string(8, static_cast<char>('a' + i)); }

// Opens RIFF AVI, writes the headers and opens the movi list.
void start(AviBuilder& b) {
    b.begin("RIFF", "AVI ");
    b.hdrl(AviBuilder::avih(40000, 0x10, 3, 2, 2, 1),
           {{AviBuilder::strh("vids", 1, 25, 3), AviBuilder::bitmap(2, 1, 24)},
            {AviBuilder::strh("auds", 1, 8000, 9, 1), AviBuilder::wave(1, 1, 8000, 8)}});
    b.begin("LIST", "movi");
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

INSTANTIATE_TEST_SUITE_P(Files, SalvageWalk, ::testing::ValuesIn(cases));

}  // namespace
