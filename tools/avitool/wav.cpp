#include "wav.h"

#include <sndfile.h>

#include <cstring>

namespace avitool {

WavReader::~WavReader() {
    if (file_ != nullptr) sf_close(static_cast<SNDFILE*>(file_));
}

bool WavReader::open(const std::string& path, std::string& error) {
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        error = "cannot read " + path + " as audio (" + sf_strerror(nullptr) +
                "); a PCM WAV of 8 or 16 bits with 1 to 16 channels works: convert it first, e.g. ffmpeg -i " + path +
                " -c:a pcm_s16le audio.wav";
        return false;
    }
    file_ = f;
    const int sub = info.format & SF_FORMAT_SUBMASK;
    const char* kind = sub == SF_FORMAT_PCM_24   ? "24-bit PCM"
                       : sub == SF_FORMAT_PCM_32 ? "32-bit PCM"
                       : sub == SF_FORMAT_FLOAT  ? "32-bit float"
                       : sub == SF_FORMAT_DOUBLE ? "64-bit float"
                                                 : "compressed or unusual";
    if (sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_PCM_S8)
        bitsPerSample = 8;
    else if (sub == SF_FORMAT_PCM_16)
        bitsPerSample = 16;
    if (bitsPerSample == 0 || info.channels < 1 || info.channels > 16 || info.samplerate < 1) {
        error = path + " holds " + (info.channels < 1 ? std::string("no channel") : std::string(kind) + " audio") +
                "; an AVI here stores 8- or 16-bit PCM with 1 to 16 channels: convert it first, e.g. ffmpeg -i " +
                path + " -c:a pcm_s16le audio.wav";
        return false;
    }
    sampleRate = static_cast<std::uint32_t>(info.samplerate);
    channels = static_cast<std::uint16_t>(info.channels);
    frames = static_cast<std::uint64_t>(info.frames);
    return true;
}

std::size_t WavReader::read(char* out, std::size_t maxBytes) {
    const std::size_t frameBytes = static_cast<std::size_t>(channels) * bitsPerSample / 8;
    const std::size_t want = maxBytes / frameBytes;
    samples_.resize(want * channels);
    const sf_count_t got = sf_readf_short(static_cast<SNDFILE*>(file_), samples_.data(), static_cast<sf_count_t>(want));
    if (got <= 0) return 0;
    const std::size_t n = static_cast<std::size_t>(got) * channels;
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = static_cast<std::uint16_t>(samples_[i]);
        if (bitsPerSample == 8) {
            out[i] = static_cast<char>((v >> 8) ^ 0x80);
        } else {
            out[2 * i] = static_cast<char>(v & 0xFF);
            out[2 * i + 1] = static_cast<char>(v >> 8);
        }
    }
    return n * bitsPerSample / 8;
}

bool WavWriter::open(const std::string& path, std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
                     std::string& error) {
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = static_cast<int>(sampleRate);
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    file_ = f;
    return true;
}

bool WavWriter::write(const char* data, std::size_t bytes) {
    // The bytes are already in the file's order (unsigned 8-bit, little-endian 16-bit).
    return sf_write_raw(static_cast<SNDFILE*>(file_), data, static_cast<sf_count_t>(bytes)) ==
           static_cast<sf_count_t>(bytes);
}

bool WavWriter::close() {
    if (file_ == nullptr) return true;
    const bool ok = sf_close(static_cast<SNDFILE*>(file_)) == 0;
    file_ = nullptr;
    return ok;
}

}  // namespace avitool
