// A writer whose handler fails: once at the k-th call of one kind, or at every fwrite from
// the k-th on (a full disk, or a process killed after k - 1 writes). The failure is
// reported, and every chunk the writer accepted reads back through the library or, where
// close could not finish the header and indexes, through salvage. With checkpoints, a file
// stopped at any write also reads, in the library and in ffmpeg, every chunk up to the last
// checkpoint before it. A real full disk (a tmpfs, needs root) runs under the ctest label root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

#include "AviBuilder.h"
#include "MemoryFileHandler.h"
#include "Shell.h"
#include "TestFile.h"
#include "avi/LocalFileHandler.h"
#include "salvage/salvage.h"

using avitest::FaultyFileHandler;
using avitest::TestFile;
namespace err = avi::errors;
using Bytes = std::vector<char>;

namespace {

const std::uint32_t W = 5, H = 3, FRAMES = 4, FRAME = 16 * H, SOUND = 320;  // 24-bit rows of 15 + 1 bytes

struct Chunk {
    std::string id;
    unsigned n;  // frame or audio chunk number
    Bytes data;  // the bytes the chunk header's size covers
};

struct Outcome {
    std::vector<Chunk> accepted;  // chunks whose write reported no error
    bool reported = false, closeFailed = false;
    std::vector<std::uint64_t> checkpointedAt;  // fwrite calls made when checkpoint i + 1 was complete
};

// Writes video frame i and audio chunk i, noting which of them the writer accepted.
void writePair(avi::File& f, unsigned i, std::uint32_t frameBytes, Outcome& o) {
    for (const Chunk& c :
         {Chunk{"00db", i, avitest::pattern(frameBytes, i)}, Chunk{"01wb", i, avitest::pattern(SOUND, 100 + i)}}) {
        f.clearError();
        c.id == "00db" ? f.writeVideoFrame(c.data.data()) : f.writeAudio(c.data.data());
        o.reported |= f.getErrorCode() != err::ERR_NONE;
        if (f.getErrorCode() == err::ERR_NONE) o.accepted.push_back(c);
    }
}

// With checkpoints, one after each pair, in index rooms of 2 entries (so that rooms fill and
// new ones open).
Outcome writeSmallFile(const std::shared_ptr<FaultyFileHandler>& h, bool checkpoints = false) {
    Outcome o;
    TestFile f;
    if (!f.openWith(h, u"f.avi", "w")) return o;
    f.setVideoInfo(W, H, 25.0);
    f.setAudioInfo(8000, 8, 1, SOUND);
    if (checkpoints) f.checkpointRooms(2);
    o.reported = f.getErrorCode() != err::ERR_NONE;
    for (unsigned i = 0; i < FRAMES; ++i) {
        writePair(f, i, FRAME, o);
        if (!checkpoints) continue;
        const bool done = f.checkpoint();
        o.reported |= !done;
        if (done) o.checkpointedAt.push_back(h->fwriteCalls);
    }
    f.clearError();
    f.close();
    o.closeFailed = f.getErrorCode() != err::ERR_NONE;
    o.reported |= o.closeFailed;
    return o;
}

// Frames and audio the library (and ffmpeg, when asked) read from the file as it is: each at
// least the first `frames` pairs, exactly.
void readsCheckpointed(const avitest::MemoryFileHandler& written, unsigned frames, const std::vector<Chunk>& accepted,
                       bool ffmpeg) {
    Bytes want[2];
    for (const Chunk& c : accepted) {
        Bytes& w = want[c.id == "00db" ? 0 : 1];
        w.insert(w.end(), c.data.begin(), c.data.end());
    }
    TestFile r;
    auto mem = std::make_shared<avitest::MemoryFileHandler>();
    mem->files = written.files;
    ASSERT_TRUE(r.openWith(mem, u"f.avi", "r")) << r.getErrorMsg();
    ASSERT_GE(r.getVideoTotalFrames(), frames);
    Bytes frame(FRAME), audio(frames * SOUND);
    for (unsigned i = 0; i < frames; ++i) {
        r.readVideoFrame(frame.data(), i);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), want[0].begin() + i * FRAME)) << "frame " << i;
    }
    r.readAudio(audio.data(), static_cast<unsigned long>(audio.size()));
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), want[1].begin())) << "audio";
    if (!ffmpeg || !avitest::onPath("ffmpeg")) return;
    avitest::TempDir dir;
    const Bytes& file = *mem->find(u"f.avi");
    std::ofstream(dir.file("f.avi"), std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
    avitest::run("ffmpeg -v error -i " + dir.file("f.avi") + " -map 0:0 -c copy -f data " + dir.file("0") +
                 " -map 0:1 -c copy -f data " + dir.file("1"));
    for (int s = 0; s < 2; ++s) {
        std::ifstream in(dir.file(std::to_string(s)), std::ios::binary);
        const Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_GE(got.size(), frames * (s == 0 ? FRAME : SOUND)) << "ffmpeg reads less, stream " << s;
        EXPECT_TRUE(got.size() <= want[s].size() && std::equal(got.begin(), got.end(), want[s].begin()))
            << "ffmpeg reads other bytes, stream " << s;
    }
}

// A chunk whose write failed keeps its number, or with checkpoints is taken back, so that the
// accepted ones are numbered in turn.
bool readsBack(const avitest::MemoryFileHandler& written, const std::vector<Chunk>& accepted, bool checkpoints) {
    auto mem = std::make_shared<avitest::MemoryFileHandler>();
    mem->files = written.files;
    TestFile r;
    if (!r.openWith(mem, u"f.avi", "r")) return false;
    Bytes audio(FRAMES * SOUND), frame(FRAME);
    r.readAudio(audio.data(), std::min<unsigned long>(audio.size(), r.getAudioTotalBytes()));
    unsigned turn[2] = {0, 0};
    for (const Chunk& c : accepted) {
        const unsigned n = checkpoints ? turn[c.id == "00db" ? 0 : 1]++ : c.n;
        if (c.id == "00db") r.readVideoFrame(frame.data(), n);
        const Bytes got = c.id == "00db" ? frame : Bytes(&audio[n * SOUND], &audio[n * SOUND] + SOUND);
        if (r.getErrorCode() != err::ERR_NONE || got != c.data) return false;
    }
    return true;
}

// What salvage recovers from the file holds every accepted chunk, in order, stream by stream.
// The hints stand in for a header that close could not write.
bool salvaged(avi::IFileHandler& h, void* f, const Bytes& file, const std::vector<Chunk>& accepted,
              const salvage::Hints& hints) {
    const salvage::Report r = salvage::scan(h, f, hints, "");
    std::vector<Bytes> found[2];
    for (const auto& c : r.chunks) found[c.video ? 0 : 1].emplace_back(&file[c.offset], &file[c.offset] + c.size);
    std::size_t next[2] = {0, 0};
    return std::all_of(accepted.begin(), accepted.end(), [&](const Chunk& c) {
        const int s = c.id == "00db" ? 0 : 1;
        const auto it = std::find(found[s].begin() + static_cast<std::ptrdiff_t>(next[s]), found[s].end(), c.data);
        next[s] = static_cast<std::size_t>(it - found[s].begin()) + 1;
        return it != found[s].end();
    });
}

}  // namespace

TEST(WriteFaults, WhatWasAcceptedBeforeAFaultIsRecoverable) {
    for (const bool checkpoints : {false, true}) {
        SCOPED_TRACE(checkpoints ? "with checkpoints" : "without checkpoints");
        auto clean = std::make_shared<FaultyFileHandler>();
        const Outcome ok = writeSmallFile(clean, checkpoints);
        ASSERT_FALSE(ok.reported);
        ASSERT_EQ(ok.accepted.size(), 2 * FRAMES);
        ASSERT_TRUE(readsBack(*clean, ok.accepted, checkpoints));
        ASSERT_EQ(ok.checkpointedAt.size(), checkpoints ? FRAMES : 0);
        const struct {
            const char* kind;
            std::uint64_t FaultyFileHandler::*failAt;
            std::uint64_t calls;
            bool partial, sticky;
        } kinds[] = {
            {"fwrite", &FaultyFileHandler::failFwriteAt, clean->fwriteCalls, false, false},
            {"half fwrite", &FaultyFileHandler::failFwriteAt, clean->fwriteCalls, true, false},
            {"full disk", &FaultyFileHandler::failFwriteAt, clean->fwriteCalls, false, true},
            {"fseek", &FaultyFileHandler::failFseekAt, clean->fseekCalls, false, false},
            {"setFilePos", &FaultyFileHandler::failSetFilePosAt, clean->setPosCalls, false, false},
        };
        for (const auto& kind : kinds) {
            unsigned leftToSalvage = 0;
            salvage::Hints hints;
            hints.bits = 24;
            ASSERT_TRUE(hints.setSize("5x3") && hints.setFps("25") && hints.setAudio("8000:8:1"));
            for (std::uint64_t k = 1; k <= kind.calls; ++k) {
                SCOPED_TRACE(std::string(kind.kind) + " #" + std::to_string(k));
                auto h = std::make_shared<FaultyFileHandler>();
                (*h).*kind.failAt = k;
                h->partial = kind.partial;
                h->sticky = kind.sticky;
                const Outcome o = writeSmallFile(h, checkpoints);
                EXPECT_TRUE(o.reported || kind.failAt != &FaultyFileHandler::failFwriteAt)
                    << "an fwrite failure went unreported";
                // Stopped after write k - 1: what the checkpoints before it made readable is,
                // also to ffmpeg (at every 4th stop, and right after each checkpoint).
                const auto& at = ok.checkpointedAt;
                const auto done = std::upper_bound(at.begin(), at.end(), k - 1) - at.begin();
                if (checkpoints && kind.sticky && done > 0)
                    readsCheckpointed(*h, static_cast<unsigned>(done), o.accepted,
                                      k % 4 == 0 || at[static_cast<std::size_t>(done) - 1] == k - 1);
                if (readsBack(*h, o.accepted, checkpoints)) continue;
                ++leftToSalvage;
                EXPECT_TRUE(o.closeFailed) << "header and indexes written, yet accepted chunks do not read back";
                void* f = h->fopen(u"f.avi", "rb");
                EXPECT_TRUE(salvaged(*h, f, *h->find(u"f.avi"), o.accepted, hints)) << "a chunk is lost";
                h->fclose(f);
            }
            std::printf("%s%s: %u faults, %u left to salvage\n", kind.kind, checkpoints ? " (checkpoints)" : "",
                        static_cast<unsigned>(kind.calls), leftToSalvage);
        }
    }
}

// Run by ctest -L root (it mounts a 2 MiB tmpfs and fills it).
TEST(WriteFaults, DISABLED_RealFullDiskKeepsTheHeaderAndEveryAcceptedChunk) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    avitest::TempDir dir;
    if (dir.path.empty() ||
        std::system(("mount -t tmpfs -o size=2m tmpfs '" + dir.path + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs";
    const std::shared_ptr<void> unmount(
        nullptr, [&](void*) { EXPECT_EQ(std::system(("umount '" + dir.path + "'").c_str()), 0); });
    const std::string path = dir.file("full.avi");
    Outcome o;
    {
        avi::File f;
        ASSERT_TRUE(f.open(path.c_str(), "w")) << f.getErrorMsg();
        f.setVideoInfo(64, 48, 25.0);
        f.setAudioInfo(8000, 8, 1, SOUND);
        ASSERT_EQ(f.getErrorCode(), err::ERR_NONE) << f.getErrorMsg();
        for (unsigned i = 0; !o.reported && i < 1000; ++i) writePair(f, i, 64 * 48 * 3, o);
        ASSERT_TRUE(o.reported) << "2 MiB never filled up";
        f.close();
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(file.size(), 60u);
    EXPECT_EQ(avitest::fourcc(file, 0) + avitest::fourcc(file, 8) + avitest::fourcc(file, 20), "RIFFAVI hdrl");
    // The main header counts every frame the writer indexed, the accepted ones among them.
    const auto frames =
        std::count_if(o.accepted.begin(), o.accepted.end(), [](const Chunk& c) { return c.id == "00db"; });
    EXPECT_GE(avitest::u32(file, 48), static_cast<std::uint32_t>(frames));
    EXPECT_GT(o.accepted.size(), 100u);
    avi::LocalFileHandler local;
    void* f = local.fopen(std::u16string(path.begin(), path.end()), "rb");
    EXPECT_TRUE(salvaged(local, f, file, o.accepted, {}));
    local.fclose(f);
}
