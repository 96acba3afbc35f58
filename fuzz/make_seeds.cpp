// Writes a seed corpus of small, valid AVI files: with our writer every pixel depth, both
// audio depths, audio-only, and a file of several RIFF segments' worth of index layout; with
// the test builder the layouts our writer does not make (idx1 of file positions, no index,
// interleave lists, OpenDML without idx1, a nested super index).
#include <cstdio>
#include <string>
#include <vector>

#include "AviBuilder.h"
#include "MemoryFileHandler.h"
#include "TestFile.h"

namespace {

void save(const std::string& dir, const std::string& name, const std::vector<char>& bytes) {
    const std::string path = dir + "/" + name;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

void make(const std::string& dir, const std::string& name, unsigned bits, bool video, bool audio, unsigned audioBits,
          unsigned frames, unsigned width, unsigned height) {
    auto mem = std::make_shared<avitest::MemoryFileHandler>();
    avitest::TestFile w;
    w.openWith(mem, u"seed.avi", "w");
    w.setNumSuperIndexEntries(4);
    if (video) w.setVideoInfo(width, height, 10.0, "", bits);
    if (audio) w.setAudioInfo(8000.0, audioBits, 1 + (frames & 1), 801);
    if (video && bits == 8) {
        std::vector<avi::tagRGBQUAD> pal(16);
        for (unsigned i = 0; i < pal.size(); ++i) pal[i].rgbRed = static_cast<std::uint8_t>(i * 16);
        w.setColormap(pal);
    }
    std::uint32_t size = w.getRGB24VideoFrameSize();
    if (size == 0) size = w.getIndexedVideoFrameSize();
    const bool explicitSize = size == 0;
    if (explicitSize) size = ((width * bits + 31) / 32) * 4 * height;
    std::vector<char> frame(size), block(802);
    for (unsigned i = 0; i < frames; ++i) {
        for (std::size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<char>((k * 7 + i) & 0x0F);
        if (video) explicitSize ? w.writeVideoFrame(frame.data(), size) : w.writeVideoFrame(frame.data());
        if (audio) w.writeAudio(block.data());
    }
    w.close();
    save(dir, name, *mem->find(u"seed.avi"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    make(dir, "w8.avi", 8, true, false, 8, 3, 5, 3);
    make(dir, "w16.avi", 16, true, true, 16, 2, 3, 2);
    make(dir, "w24.avi", 24, true, true, 8, 3, 7, 2);
    make(dir, "w32.avi", 32, true, false, 8, 2, 4, 2);
    make(dir, "audio.avi", 24, false, true, 16, 4, 0, 0);
    make(dir, "empty.avi", 24, true, true, 16, 0, 2, 2);
    using avitest::Avi;
    const auto frame = [](unsigned i) { return std::string(16, static_cast<char>(i)); };
    const auto sound = [](unsigned i) { return std::string(5, static_cast<char>(100 + i)); };
    const auto chunks = avitest::interleave(0, 3, frame, sound);
    const std::vector<avitest::Stream> streams{avitest::video(2, 2), avitest::audio()};
    save(dir, "b_idx1_abs.avi", avitest::build({streams, {chunks}, Avi::Absolute}));
    save(dir, "b_noindex.avi", avitest::build({streams, {chunks}, Avi::NoIdx1}));
    save(dir, "b_rec.avi", avitest::build({streams, {{avitest::list("rec ", chunks), avitest::list("rec ", chunks)}}}));
    for (const bool nested : {false, true}) {
        Avi odml{streams, {chunks, avitest::interleave(3, 5, frame, sound)}, Avi::NoIdx1, nullptr, true};
        odml.nested = nested;
        save(dir, nested ? "b_odml_nested.avi" : "b_odml.avi", avitest::build(odml));
    }
    return 0;
}
