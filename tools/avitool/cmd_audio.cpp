// avitool audio: the audio stream as a WAV file.
#include <cstdio>
#include <vector>

#include "common.h"
#include "media.h"

namespace avitool {

int runAudio(const AudioOptions& opt) {
    const std::string& path = opt.file;
    ToolFile f;
    if (!f.openPath(path, "r")) return fail(f, shown(path));
    if (!f.hasAudio()) return fail(shown(path) + ": no audio stream");
    if (f.isAudioCompressed()) return fail(shown(path) + ": compressed audio cannot be written as PCM WAV");
    const unsigned bits = f.getAudioBitsPerSample(), channels = f.getAudioNumberOfChannels();
    if ((bits != 8 && bits != 16) || channels == 0 || channels > 16 || f.getAudioSampleRate() == 0)
        return fail(shown(path) + ": unsupported audio format (" + std::to_string(bits) + " bits, " +
                    std::to_string(channels) + " channels)");
    Output out;
    bool local = true;  // a WAV is always written to a local file
    if (!out.prepare("file:" + localPath(opt.out, local), opt.overwrite)) return EXIT_FAIL;
    WavWriter wav;
    std::string error;
    if (!wav.open(out.path(), f.getAudioSampleRate(), static_cast<std::uint16_t>(channels),
                  static_cast<std::uint16_t>(bits), error))
        return fail(error);
    const std::size_t align = channels * bits / 8;
    std::vector<char> block(65536 / align * align);
    // Bytes read but not yet written: a block may end inside a sample frame.
    std::vector<char> carry;
    Progress progress("audio", f.getAudioTotalBytes());
    while (!f.isEndOfAudio() && !stopped()) {
        const std::uint64_t before = f.getAudioBytesRead();
        f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
        if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, shown(path), "audio");
        const std::size_t got = static_cast<std::size_t>(f.getAudioBytesRead() - before);
        if (got == 0) break;
        carry.insert(carry.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got));
        const std::size_t whole = carry.size() / align * align;
        if (!wav.write(carry.data(), whole)) return fail("cannot write " + out.target());
        carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(whole));
        progress.update(f.getAudioBytesRead());
    }
    // Closing completes the WAV header, also when a signal stopped the copy.
    if (!wav.close() || !out.commit()) return fail("cannot write " + out.target());
    return stopped() ? stopStatus() : EXIT_OK;
}

}  // namespace avitool
