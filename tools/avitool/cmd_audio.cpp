// avitool audio: the audio stream as a WAV file.
#include <cstdio>
#include <vector>

#include "common.h"
#include "media.h"

namespace avitool {

int runAudio(const AudioOptions& opt) {
    const std::string &path = opt.file, &out = opt.out;
    avi::File f;
    if (!f.open(path.c_str(), "r")) return fail(f, path);
    if (!f.hasAudio()) return fail(path + ": no audio stream");
    if (f.isAudioCompressed()) return fail(path + ": compressed audio cannot be written as PCM WAV");
    std::FILE* o = std::fopen(out.c_str(), "wb");
    if (o == nullptr) return fail("cannot create " + out);
    const std::uint32_t total = f.getAudioTotalBytes();
    bool ok = writeWavHeader(o, f.getAudioSampleRate(), f.getAudioNumberOfChannels(), f.getAudioBitsPerSample(), total);
    std::vector<char> block(1 << 16);
    Progress progress("audio", total);
    while (ok && !f.isEndOfAudio()) {
        const std::uint64_t before = f.getAudioBytesRead();
        f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
        if (f.getErrorCode() != avi::errors::ERR_NONE) {
            std::fclose(o);
            return fail(f, path);
        }
        const std::size_t got = static_cast<std::size_t>(f.getAudioBytesRead() - before);
        ok = std::fwrite(block.data(), 1, got, o) == got;
        progress.update(f.getAudioBytesRead());
    }
    if (std::fclose(o) != 0 || !ok) return fail("cannot write " + out);
    return 0;
}

}  // namespace avitool
