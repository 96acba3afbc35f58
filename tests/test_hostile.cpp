// Hostile geometry, bit counts, chunk sizes, index entries and truncations, generated
// deterministically: every read form, of the library and of the tolerant reader, gets a
// heap buffer of exactly the size its getter reports, so an overrun is a sanitizer finding;
// a refused read of the library leaves the buffer alone.
// With AVITOOL set to the tool's path, `avitool check` and `avitool frames` run over the
// same files and every signal exit is reported.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "AviBuilder.h"
#include "Shell.h"
#include "TestFile.h"
#include "TolerantRead.h"

namespace err = avi::errors;

namespace {

struct Variant {
    std::int32_t w, h;
    std::uint16_t bits;
    bool compressed;
    int sizeMode;     // first chunk: 0 the geometry's size, 1 one more, 2 twice + 5, 3 one byte, 4 three
    int index;        // 0 movi scan, 1 idx1, 2 idx1 led by an audio-stream entry "01dc" of size 0
    std::size_t cut;  // keep this many bytes; 0 keeps all
    std::string str() const {
        return std::to_string(w) + "x" + std::to_string(h) + ", " + std::to_string(bits) + " bits" +
               (compressed ? ", MJPG" : "") + ", size mode " + std::to_string(sizeMode) + ", index " +
               std::to_string(index) + (cut ? ", cut at " + std::to_string(cut) : "");
    }
};

std::vector<char> build(const Variant& v) {
    const std::uint64_t w = static_cast<std::uint32_t>(v.w), h = static_cast<std::uint32_t>(v.h < 0 ? -v.h : v.h);
    const std::uint64_t row = v.bits <= 8 ? (w + 3) / 4 * 4 : (w * v.bits + 31) / 32 * 4;
    std::uint64_t nat = row * h;
    if (nat == 0 || nat > 4096) nat = 17;
    const std::uint64_t first[] = {nat, nat + 1, 2 * nat + 5, 1, 3};
    const std::uint64_t sizes[] = {first[v.sizeMode], nat, first[v.sizeMode] + 2};
    avitest::Avi a{
        {avitest::video(v.w, v.h, v.bits, v.compressed ? 0x47504A4Du : 0), avitest::audio()},
        {avitest::interleave(
            0, 3,
            [&](unsigned i) {
                const auto data = avitest::pattern(sizes[i], i);
                return std::string(data.begin(), data.end());
            },
            [](unsigned i) { return std::string(5, static_cast<char>(i)); }, v.compressed ? "00dc" : "00db")},
        v.index ? avitest::Avi::Relative : avitest::Avi::NoIdx1};
    if (v.index == 2) a.editIdx1 = [](auto& e) { e.insert(e.begin(), {"01dc", 0x10, 4, 0}); };
    return avitest::build(a, {}, static_cast<std::int64_t>(v.cut));
}

std::vector<Variant> variants() {
    const std::pair<std::int32_t, std::int32_t> geometry[] = {
        {4, 2}, {3, 2}, {1, 1}, {5, -3}, {2, -1}, {0, 2}, {7, 0}, {-3, 2}, {1, 64}, {0x40000000, 4}, {65536, 65536}};
    const std::uint16_t bitCounts[] = {0, 1, 2, 4, 8, 12, 15, 16, 24, 32, 48};
    std::vector<Variant> out;
    for (const auto& g : geometry)
        for (const auto bits : bitCounts)
            for (int size = 0; size < 5; ++size)
                for (int index = 0; index < 3; ++index)
                    for (const bool compressed : {false, true}) {
                        const Variant v{g.first, g.second, bits, compressed, size, index, 0};
                        out.push_back(v);
                        if (out.size() % 7 != 0) continue;
                        const std::size_t whole = build(v).size();
                        for (std::size_t k = 1; k < 8; ++k)
                            out.push_back({v.w, v.h, bits, compressed, size, index, whole * k / 8});
                    }
    return out;
}

}  // namespace

TEST(Hostile, EveryReadStaysInsideTheReportedBufferSize) {
    const auto all = variants();
    ASSERT_GT(all.size(), 3000u);
    for (const auto& v : all) {
        SCOPED_TRACE(v.str());
        avitest::TestFile f;
        const std::vector<char> bytes = build(v);
        if (f.openBytes(bytes)) avitest::readEverything(f);
        salvage::TolerantReader t;
        if (t.open(f.fileHandler, u"in.avi", salvage::Hints(), "")) avitest::readEverything(t);
        if (HasFailure()) return;
    }
}

TEST(Hostile, AvitoolSurvivesEveryFile) {
    const char* tool = std::getenv("AVITOOL");
    if (tool == nullptr) GTEST_SKIP() << "set AVITOOL to the avitool binary";
    avitest::TempDir dir;
    const auto all = variants();
    for (std::size_t i = 0; i < all.size() && !HasFailure(); i += 2) {
        const std::string file = dir.file("h" + std::to_string(i) + ".avi");
        const auto bytes = build(all[i]);
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        for (const std::string& cmd : {std::string("check"), "frames --format ppm -o " + dir.file("out")}) {
            const int rc = std::system(("ASAN_OPTIONS=abort_on_error=1:detect_leaks=0 timeout 20 " + std::string(tool) +
                                        " " + cmd + " " + file + " >/dev/null 2>&1")
                                           .c_str());
            // The shell reports a signal as 128 + its number, and timeout a hang as 124.
            EXPECT_FALSE(WIFSIGNALED(rc) || WEXITSTATUS(rc) == 124 || WEXITSTATUS(rc) >= 128)
                << "avitool " << cmd << (WEXITSTATUS(rc) == 124 ? " hangs" : " crashes") << " on " << all[i].str();
        }
    }
}
