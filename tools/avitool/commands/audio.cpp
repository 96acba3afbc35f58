// avitool audio: the audio stream as a WAV file.
#include <cstdio>
#include <vector>

#include "commands/commands.h"
#include "locations.h"
#include "messages.h"
#include "outputs.h"
#include "progress.h"
#include "reading.h"
#include "salvage/salvage.h"
#include "signals.h"
#include "wav.h"

namespace avitool {

int runAudio(const AudioOptions& opt) {
    const Location in = locate(opt.file);
    const std::string shownIn = shown(opt.file);
    avi::internal::FileBridge f;
    salvage::TolerantReader t;
    if (openForReading(opt.strict, in, f, t) != EXIT_OK) return EXIT_FAIL;
    std::string error;
    if (!(opt.strict ? f.hasAudio() : t.hasAudio())) return fail(shownIn + ": no audio stream");
    if (opt.strict ? f.isAudioCompressed() : t.audio().formatTag != 1)
        return fail(shownIn + ": compressed audio cannot be written as PCM WAV");
    const unsigned bits = opt.strict ? f.getAudioBitsPerSample() : t.audio().bits;
    const unsigned channels = opt.strict ? f.getAudioNumberOfChannels() : t.audio().channels;
    const std::uint32_t rate = opt.strict ? f.getAudioSampleRate() : t.audio().sampleRate;
    if ((bits != 8 && bits != 16) || channels == 0 || channels > 16 || rate == 0)
        return fail(shownIn + ": unsupported audio format (" + std::to_string(bits) + " bits, " +
                    std::to_string(channels) + " channels)");
    Output out;
    if (!out.prepare("file:" + locate(opt.out).path, opt.overwrite)) return EXIT_FAIL;  // a WAV is written locally
    WavWriter wav;
    if (!wav.open(out.path(), rate, static_cast<std::uint16_t>(channels), static_cast<std::uint16_t>(bits), error))
        return fail(error);
    const std::size_t align = channels * bits / 8;
    std::vector<char> block(65536 / align * align);
    // Bytes read but not yet written: a block may end inside a sample frame.
    std::vector<char> carry;
    for (std::size_t i = 0; opt.strict && i < f.audioEntries().size(); ++i) {
        const std::string miss =
            salvage::checkEntry(*f.handler(), f.handle(), f.audioEntries()[i], f.audioStream(), false);
        if (!miss.empty())
            return fail(shownIn + ": audio index entry " + std::to_string(i) + " " + miss +
                        " (avitool reads the file without --strict)");
    }
    const std::uint64_t total = opt.strict ? f.getAudioTotalBytes() : t.audioBytes();
    Progress progress("audio", total);
    for (std::uint64_t done = 0; done < total && !stopped();) {
        std::size_t got;
        if (opt.strict) {
            f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
            if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, in, false, "audio");
            got = static_cast<std::size_t>(f.getAudioBytesRead() - done);
        } else {
            got = t.readAudio(done, block.data(), block.size());
            if (got == 0) return fail(shownIn + ": " + t.error());
        }
        if (got == 0) break;
        done += got;
        carry.insert(carry.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got));
        const std::size_t whole = carry.size() / align * align;
        if (!wav.write(carry.data(), whole)) return fail("cannot write " + out.target());
        carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(whole));
        progress.update(done);
    }
    // Closing completes the WAV header, also when a signal stopped the copy.
    if (!wav.close() || !out.commit()) return fail("cannot write " + out.target());
    return stopped() ? stopStatus() : EXIT_OK;
}

}  // namespace avitool
