// avi::File over URLs: the library finds the plug-in in this build tree, reads and writes
// through nginx, and the results are checked against the local file and against ffmpeg.
#include <gtest/gtest.h>

#include <cstdlib>

#include "RemoteTestSupport.h"
#include "avi/File.h"

using namespace remotetest;

namespace {

// 24-bit frames whose rows need no padding, and 16-bit stereo audio, one chunk per frame:
// 1764 stereo samples, 44100 Hz at 25 frames/s.
const unsigned WIDTH = 320, HEIGHT = 240, FRAMES = 40, AUDIO_CHUNK = 1764 * 4;
const std::vector<char> VIDEO = pattern(std::size_t(WIDTH) * HEIGHT * 3 * FRAMES, 100);
const std::vector<char> AUDIO = pattern(std::size_t(AUDIO_CHUNK) * FRAMES, 99);

// Writes the clip to path (a local path or a URL); "" on success, else the error.
std::string writeClip(const std::string& path) {
    avi::File out;
    if (!out.open(path.c_str(), "w")) return out.getErrorMsg();
    out.setVideoInfo(WIDTH, HEIGHT, 25.0);
    out.setAudioInfo(44100.0, 16, 2, AUDIO_CHUNK);
    for (unsigned i = 0; i < FRAMES; ++i) {
        out.writeVideoFrame(VIDEO.data() + VIDEO.size() / FRAMES * i);
        out.writeAudio(AUDIO.data() + std::size_t(i) * AUDIO_CHUNK);
    }
    out.close();
    return out.getErrorCode() == avi::errors::ERR_NONE ? std::string() : std::string(out.getErrorMsg());
}

// Every frame in index order, then the whole audio stream in odd-sized pieces: they must
// be the clip's.
void expectClip(const std::string& path) {
    SCOPED_TRACE(path);
    avi::File f;
    ASSERT_TRUE(f.open(path.c_str(), "r")) << f.getErrorMsg();
    ASSERT_EQ(f.getVideoTotalFrames(), FRAMES);
    std::vector<char> video, audio(f.getAudioTotalBytes());
    for (const unsigned i : {FRAMES - 1, 0u}) {  // out of order first
        std::vector<char> frame(f.getRawVideoFrameSize(i));
        f.readVideoFrame(frame.data(), i);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), VIDEO.begin() + VIDEO.size() / FRAMES * i)) << i;
    }
    for (std::vector<char> frame(VIDEO.size() / FRAMES); !f.isEndOfVideo();) {
        f.readVideoFrame(frame.data());
        ASSERT_EQ(f.getErrorCode(), avi::errors::ERR_NONE) << f.getErrorMsg();
        video.insert(video.end(), frame.begin(), frame.end());
    }
    for (std::size_t at = 0; at < audio.size(); at += 1001) {
        f.readAudio(audio.data() + at, std::min<std::size_t>(1001, audio.size() - at));
        ASSERT_EQ(f.getErrorCode(), avi::errors::ERR_NONE) << "audio at " << at << ": " << f.getErrorMsg();
    }
    EXPECT_TRUE(video == VIDEO);
    EXPECT_TRUE(audio == AUDIO);
}

// ffmpeg's decoding of a file is the clip: bottom-up BGR rows (as written) and PCM.
void expectFfmpegDecodesClip(const std::string& file) {
    if (!writetest::onPath("ffmpeg")) return;
    bool okV = false, okA = false;
    const std::string v =
        writetest::run("ffmpeg -v error -i '" + file + "' -map 0:v -vf vflip -f rawvideo -pix_fmt bgr24 -", &okV);
    const std::string a = writetest::run("ffmpeg -v error -i '" + file + "' -map 0:a -f s16le -", &okA);
    ASSERT_TRUE(okV && okA) << file;
    EXPECT_TRUE(v == std::string(VIDEO.begin(), VIDEO.end())) << file;
    EXPECT_TRUE(a == std::string(AUDIO.begin(), AUDIO.end())) << file;
}

}  // namespace

TEST(RemoteFile, ReadsEveryFrameAndAllAudioAsTheLocalFileDoes) {
    START_NGINX(server);
    ASSERT_EQ(writeClip(server.root() + "/clip.avi"), "");
    expectClip(server.url("clip.avi"));
    // The header and the indexes, two frames out of order, then every frame and the audio in
    // order: the read-ahead grows to 8 MiB, so a few requests cover the 9.5 MB.
    EXPECT_EQ(server.requests("HEAD"), 1u);
    EXPECT_LE(server.requests("GET"), 16u);
    expectFfmpegDecodesClip(server.url("clip.avi"));
}

TEST(RemoteFile, WritesThroughAUrlWithOnePutAsTheLocalFileIsWritten) {
    START_NGINX(server);
    TempDir spool;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", spool.path.c_str(), 1);  // where "wb" handles spool
    const std::string written = writeClip(server.url("out/sub/clip.avi"));
    old ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_EQ(written, "");
    EXPECT_EQ(server.requests("PUT"), 1u);
    EXPECT_EQ(writetest::run("ls -A '" + spool.path + "'"), "") << "the spool is gone";
    ASSERT_EQ(writeClip(spool.path + "/local.avi"), "");
    const std::string stored = server.root() + "/out/sub/clip.avi";
    EXPECT_TRUE(readFile(stored) == readFile(spool.path + "/local.avi")) << "the upload is the file written locally";
    expectClip(server.url("out/sub/clip.avi"));
    expectFfmpegDecodesClip(stored);
}
