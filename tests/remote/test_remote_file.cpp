// avi::File over URLs: the library finds the plug-in in this build tree, reads and writes
// through nginx, and the results are checked against the local file and against ffmpeg.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RemoteTestSupport.h"
#include "avi/File.h"

using namespace remotetest;

namespace {

#define START_NGINX(server)                          \
    Nginx server;                                    \
    {                                                \
        std::string why;                             \
        if (!server.start(why)) GTEST_SKIP() << why; \
    }

// 24-bit frames whose rows need no padding, and 16-bit stereo audio, one chunk per frame.
const unsigned WIDTH = 320, HEIGHT = 240, FRAMES = 40;
const unsigned FRAME_BYTES = WIDTH * HEIGHT * 3;
const unsigned AUDIO_CHUNK = 1764 * 4;  // 1764 stereo samples: 44100 Hz at 25 frames/s

struct Clip {
    std::vector<std::vector<char>> frames;
    std::vector<char> audio;
};

Clip makeClip() {
    Clip c;
    for (unsigned i = 0; i < FRAMES; ++i) c.frames.push_back(pattern(FRAME_BYTES, 100 + i));
    c.audio = pattern(std::size_t(AUDIO_CHUNK) * FRAMES, 99);
    return c;
}

// Writes the clip to path (a local path or a URL); "" on success, else the error.
std::string writeClip(const std::string& path, const Clip& c) {
    avi::File out;
    if (!out.open(path.c_str(), "w")) return out.getErrorMsg();
    out.setVideoInfo(WIDTH, HEIGHT, 25.0);
    out.setAudioInfo(44100.0, 16, 2, AUDIO_CHUNK);
    for (unsigned i = 0; i < FRAMES; ++i) {
        out.writeVideoFrame(c.frames[i].data());
        out.writeAudio(c.audio.data() + std::size_t(i) * AUDIO_CHUNK);
    }
    out.close();
    return out.getErrorCode() == avi::errors::ERR_NONE ? std::string() : std::string(out.getErrorMsg());
}

struct Decoded {
    std::vector<std::vector<char>> frames;
    std::vector<char> audio;
};

// Every frame in index order, then the whole audio stream in odd-sized pieces.
void readAll(avi::File& f, Decoded& d) {
    const std::uint32_t n = f.getVideoTotalFrames();
    for (std::uint32_t i = 0; i < n; ++i) {
        std::vector<char> frame(f.getRawVideoFrameSize(i));
        f.readVideoFrame(frame.data(), i);
        ASSERT_EQ(f.getErrorCode(), avi::errors::ERR_NONE) << "frame " << i << ": " << f.getErrorMsg();
        d.frames.push_back(std::move(frame));
    }
    const std::uint32_t total = f.getAudioTotalBytes();
    d.audio.resize(total);
    std::uint32_t at = 0;
    while (at < total) {
        const std::uint32_t k = std::min<std::uint32_t>(1001, total - at);
        f.readAudio(d.audio.data() + at, k);
        ASSERT_EQ(f.getErrorCode(), avi::errors::ERR_NONE) << "audio at " << at << ": " << f.getErrorMsg();
        at += k;
    }
}

// ffmpeg's decoding of a file: bottom-up BGR rows (as the library delivers them) and PCM.
bool ffmpegDecode(const std::string& file, std::vector<char>& video, std::vector<char>& audio) {
    bool ok = false, okAudio = false;
    const std::string v = writetest::run("ffmpeg -v error -i '" + file + "' -map 0:v -vf vflip -f rawvideo -pix_fmt bgr24 -", &ok);
    const std::string a = writetest::run("ffmpeg -v error -i '" + file + "' -map 0:a -f s16le -", &okAudio);
    if (!ok || !okAudio) return false;
    video.assign(v.begin(), v.end());
    audio.assign(a.begin(), a.end());
    return true;
}

std::vector<char> concat(const std::vector<std::vector<char>>& frames) {
    std::vector<char> all;
    for (const auto& f : frames) all.insert(all.end(), f.begin(), f.end());
    return all;
}

}  // namespace

TEST(RemoteFile, ReadsEveryFrameAndAllAudioAsTheLocalFileDoes) {
    START_NGINX(server);
    const Clip clip = makeClip();
    const std::string local = server.root() + "/clip.avi";
    ASSERT_EQ(writeClip(local, clip), "");

    avi::File byPath, byUrl;
    ASSERT_TRUE(byPath.open(local.c_str(), "r")) << byPath.getErrorMsg();
    ASSERT_TRUE(byUrl.open(server.url("clip.avi").c_str(), "r")) << byUrl.getErrorMsg();
    EXPECT_EQ(byUrl.getErrorCode(), avi::errors::ERR_NONE) << byUrl.getErrorMsg();
    ASSERT_EQ(byUrl.getVideoTotalFrames(), FRAMES);
    EXPECT_EQ(byUrl.getVideoWidth(), byPath.getVideoWidth());
    EXPECT_EQ(byUrl.getVideoHeight(), byPath.getVideoHeight());
    EXPECT_EQ(byUrl.getAudioTotalBytes(), byPath.getAudioTotalBytes());

    Decoded a, b;
    readAll(byPath, a);
    readAll(byUrl, b);
    ASSERT_EQ(b.frames.size(), std::size_t(FRAMES));
    for (unsigned i = 0; i < FRAMES; ++i) {
        EXPECT_EQ(b.frames[i], a.frames[i]) << "frame " << i;
        EXPECT_EQ(b.frames[i], clip.frames[i]) << "frame " << i;
    }
    EXPECT_EQ(b.audio, a.audio);
    EXPECT_EQ(b.audio, clip.audio);

    // Out of order: the last frame, then the first, then one in the middle.
    for (const unsigned i : {FRAMES - 1, 0u, FRAMES / 2}) {
        std::vector<char> frame(FRAME_BYTES);
        byUrl.readVideoFrame(frame.data(), i);
        EXPECT_EQ(frame, clip.frames[i]) << "frame " << i;
    }

    if (writetest::onPath("ffmpeg")) {
        std::vector<char> video, audio;
        ASSERT_TRUE(ffmpegDecode(server.url("clip.avi"), video, audio));
        EXPECT_EQ(concat(b.frames), video);
        EXPECT_EQ(b.audio, audio);
    }
}

TEST(RemoteFile, WritesThroughAUrlAndReadsBackBothWays) {
    START_NGINX(server);
    const Clip clip = makeClip();
    ASSERT_EQ(writeClip(server.url("out/sub/clip.avi"), clip), "");
    const std::string stored = server.root() + "/out/sub/clip.avi";
    struct stat st {};
    ASSERT_EQ(::stat(stored.c_str(), &st), 0);
    EXPECT_EQ(server.requests("PUT"), 1u);

    if (writetest::onPath("ffmpeg")) {
        std::vector<char> video, audio;
        ASSERT_TRUE(ffmpegDecode(stored, video, audio));
        EXPECT_EQ(video, concat(clip.frames));
        EXPECT_EQ(audio, clip.audio);
    }
    for (const std::string& path : {stored, server.url("out/sub/clip.avi")}) {
        avi::File in;
        ASSERT_TRUE(in.open(path.c_str(), "r")) << path << ": " << in.getErrorMsg();
        Decoded d;
        readAll(in, d);
        ASSERT_EQ(d.frames.size(), std::size_t(FRAMES)) << path;
        for (unsigned i = 0; i < FRAMES; ++i) EXPECT_EQ(d.frames[i], clip.frames[i]) << path << " frame " << i;
        EXPECT_EQ(d.audio, clip.audio) << path;
    }
}

TEST(RemoteFile, FailuresAreReportedWithTheirCodes) {
    START_NGINX(server);
    const Clip clip = makeClip();
    ASSERT_EQ(writeClip(server.root() + "/clip.avi", clip), "");
    for (const char* dir : {"/norange", "/flaky"}) {
        ::mkdir((server.root() + dir).c_str(), 0755);
        writeFile(server.root() + dir + "/clip.avi", readFile(server.root() + "/clip.avi"));
    }
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/clip.avi";
    const struct {
        const char* name;
        std::string url;
        const char* mode;
        avi::errors::error_T code;
    } cases[] = {
        {"404", server.url("missing.avi"), "r", avi::errors::ERR_OPEN_FAILED},
        {"500", server.url("fail/clip.avi"), "r", avi::errors::ERR_OPEN_FAILED},
        {"refused (read)", refused, "r", avi::errors::ERR_OPEN_FAILED},
        {"refused (write)", refused, "w", avi::errors::ERR_OPEN_FAILED},
        {"ranges ignored", server.url("norange/clip.avi"), "r", avi::errors::ERR_FREAD_FAILED},
        {"ranged requests refused", server.url("flaky/clip.avi"), "r", avi::errors::ERR_FREAD_FAILED},
    };
    for (const auto& c : cases) {
        avi::File f;
        EXPECT_FALSE(f.open(c.url.c_str(), c.mode)) << c.name;
        EXPECT_EQ(f.getErrorCode(), c.code) << c.name << ": " << f.getErrorMsg();
        if (c.code == avi::errors::ERR_OPEN_FAILED) {
            EXPECT_EQ(std::string(f.getErrorMsg()), "Unable to open AVI file ('" + c.url + "')") << c.name;
        }
    }
}
