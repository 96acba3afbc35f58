// A writer whose handler fails one call: the failure is reported, and what was written
// before it can still be read back.
#include <gtest/gtest.h>

#include <memory>

#include "MemoryFileHandler.h"
#include "TestFile.h"
#include "test_util.h"

using avitest::FaultyFileHandler;
using avitest::TestFile;
namespace err = avi::errors;

namespace {

const std::uint32_t W = 5, H = 3, FRAMES = 4, FRAME = 16 * H;  // 24-bit rows of 15 + 1 bytes

struct Outcome {
    int firstFailedFrame = -1;  // the frame during whose write the error appeared
    err::error_T code = err::ERR_NONE;
};

// Writes FRAMES frames with audio through h; the k-th call of the chosen kind fails.
Outcome writeSmallFile(const std::shared_ptr<FaultyFileHandler>& h) {
    Outcome o;
    TestFile f;
    if (!f.openWith(h, u"f.avi", "w")) return o;
    f.setVideoInfo(W, H, 25.0);
    f.setAudioInfo(8000, 8, 1, 321);
    for (std::uint32_t i = 0; i < FRAMES; ++i) {
        const auto frame = writetest::pattern(FRAME, i), sound = writetest::pattern(322, 100 + i);
        f.writeVideoFrame(frame.data());
        f.writeAudio(sound.data());
        if (f.getErrorCode() != err::ERR_NONE && o.firstFailedFrame < 0) o.firstFailedFrame = static_cast<int>(i);
    }
    f.close();
    o.code = f.getErrorCode();
    return o;
}

}  // namespace

TEST(WriteFaults, EveryFailedCallIsReportedAndEarlierFramesStayReadable) {
    auto clean = std::make_shared<FaultyFileHandler>();
    ASSERT_EQ(writeSmallFile(clean).code, err::ERR_NONE);
    ASSERT_GT(clean->fwriteCalls, 2 * FRAMES);
    const struct {
        const char* kind;
        std::uint64_t FaultyFileHandler::*failAt;
        std::uint64_t calls;
        bool partial;
        err::error_T expected;
    } kinds[] = {
        {"fwrite", &FaultyFileHandler::failFwriteAt, clean->fwriteCalls, false, err::ERR_FWRITE_FAILED},
        {"half fwrite", &FaultyFileHandler::failFwriteAt, clean->fwriteCalls, true, err::ERR_FWRITE_FAILED},
        {"fseek", &FaultyFileHandler::failFseekAt, clean->fseekCalls, false, err::ERR_NONE},
        {"setFilePos", &FaultyFileHandler::failSetFilePosAt, clean->setPosCalls, false, err::ERR_NONE},
    };
    for (const auto& kind : kinds) {
        for (std::uint64_t k = 1; k <= kind.calls; ++k) {
            SCOPED_TRACE(std::string(kind.kind) + " #" + std::to_string(k));
            auto h = std::make_shared<FaultyFileHandler>();
            (*h).*kind.failAt = k;
            h->partial = kind.partial;
            const Outcome o = writeSmallFile(h);
            // A failed write is always reported; a failed seek is either recovered by the
            // other positioning call or reported.
            if (kind.expected == err::ERR_FWRITE_FAILED) {
                EXPECT_NE(o.code, err::ERR_NONE);
            }
            TestFile r;
            auto reader = std::make_shared<avitest::MemoryFileHandler>();
            reader->files = h->files;
            const bool opens = r.openWith(reader, u"f.avi", "r");
            // A failure while the frames went out leaves a header and indexes written at close.
            if (o.firstFailedFrame >= 0) {
                ASSERT_TRUE(opens) << r.getErrorMsg();
            }
            if (!opens) continue;
            const int sound = o.firstFailedFrame < 0 && o.code == err::ERR_NONE ? FRAMES : o.firstFailedFrame;
            std::vector<char> buf(FRAME);
            for (int i = 0; i < sound && i < static_cast<int>(r.getVideoTotalFrames()); ++i) {
                r.readVideoFrame(buf.data(), i);
                ASSERT_TRUE(buf == writetest::pattern(FRAME, static_cast<unsigned>(i))) << "frame " << i;
            }
        }
    }
}
