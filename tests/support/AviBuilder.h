#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace avitest {

// Builds AVI bytes field by field, so tests can make any file, valid or hostile.
// Chunks are written with their pad byte when odd; sizes can be overridden to lie.
class AviBuilder {
public:
    std::vector<char> bytes;

    AviBuilder& u8(std::uint8_t v);
    AviBuilder& u16(std::uint16_t v);
    AviBuilder& u32(std::uint32_t v);
    AviBuilder& u64(std::uint64_t v);
    AviBuilder& fourcc(const char* id);
    AviBuilder& raw(const std::string& data);
    AviBuilder& zeros(std::size_t n);

    // Opens a RIFF/LIST with a size to be filled in by end(); returns its offset.
    std::size_t begin(const char* id, const char* type);
    // Closes the innermost open RIFF/LIST.
    AviBuilder& end();
    // A whole chunk: id, size, data, pad byte if odd.
    AviBuilder& chunk(const char* id, const std::string& data);
    // A whole header list: avih, then one strl for each (strh, strf) pair.
    AviBuilder& hdrl(const std::string& avih, const std::vector<std::pair<std::string, std::string>>& streams);
    std::size_t size() const { return bytes.size(); }
    // Overwrites 4 bytes of b at at with v, little-endian.
    static void put32(std::vector<char>& b, std::size_t at, std::uint32_t v);
    std::string str() const { return std::string(bytes.begin(), bytes.end()); }

    // Record bodies in their on-disk layout.
    static std::string avih(std::uint32_t usPerFrame, std::uint32_t flags, std::uint32_t frames, std::uint32_t streams,
                            std::uint32_t width, std::uint32_t height);
    static std::string strh(const char* type, std::uint32_t scale, std::uint32_t rate, std::uint32_t length,
                            std::uint32_t sampleSize = 0);
    static std::string bitmap(std::int32_t width, std::int32_t height, std::uint16_t bits,
                              std::uint32_t compression = 0);
    static std::string wave(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits);
    struct IdxEntry {
        const char* id;
        std::uint32_t offset;  // from the movi form type to the chunk header
        std::uint32_t size;
    };
    static std::string idx1(const std::vector<IdxEntry>& entries);
    static std::string standardIndex(const char* id, std::uint64_t base,
                                     const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries);
    static std::string superIndex(const char* id, const std::vector<std::pair<std::uint64_t, std::uint32_t>>& entries);

private:
    std::vector<std::size_t> open_;
};

// A small valid AVI 1.0 file: 24-bit video of `frames` frames (w x h, each byte = frame
// number + offset) and optional 8-bit mono audio chunks of 3 bytes, with an idx1 when asked.
std::vector<char> makeSimpleAvi(std::uint32_t frames, std::int32_t width, std::int32_t height, bool audio,
                                bool withIdx1);

}  // namespace avitest
