#pragma once
// WAV files through libsndfile: read as the audio an AVI stores, written from it.

#include <cstdint>
#include <string>
#include <vector>

namespace avitool {

// A PCM WAV file (WAVE_FORMAT_EXTENSIBLE included) read through libsndfile, block by block.
// Opening refuses what an AVI here cannot hold (anything but 8- or 16-bit PCM, no channels)
// with a message that says what would work.
class WavReader {
public:
    WavReader() = default;
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;
    ~WavReader();
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return file_ != nullptr; }
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0, bitsPerSample = 0;
    std::uint64_t frames = 0;  // sample frames
    // Reads up to maxBytes (whole sample frames) as stored in an AVI: 8-bit unsigned or
    // 16-bit signed little-endian. Returns the bytes read; 0 at the end.
    std::size_t read(char* out, std::size_t maxBytes);

private:
    void* file_ = nullptr;
    std::vector<short> samples_;
};

// A WAV file written through libsndfile; close() completes its header, so a file closed
// early (an interrupted run) still states its true length.
class WavWriter {
public:
    ~WavWriter() { close(); }
    bool open(const std::string& path, std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
              std::string& error);
    bool write(const char* data, std::size_t bytes);  // whole sample frames, AVI byte order
    bool close();

private:
    void* file_ = nullptr;
};

}  // namespace avitool
