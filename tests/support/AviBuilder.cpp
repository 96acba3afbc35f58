#include "AviBuilder.h"

namespace avitest {

AviBuilder& AviBuilder::u8(std::uint8_t v) { return bytes.push_back(static_cast<char>(v)), *this; }
AviBuilder& AviBuilder::u16(std::uint16_t v) {
    return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8));
}
AviBuilder& AviBuilder::u32(std::uint32_t v) {
    return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16));
}
AviBuilder& AviBuilder::u64(std::uint64_t v) {
    return u32(static_cast<std::uint32_t>(v)).u32(static_cast<std::uint32_t>(v >> 32));
}
AviBuilder& AviBuilder::fourcc(const char* id) { return raw(std::string(id, 4)); }
AviBuilder& AviBuilder::raw(const std::string& data) {
    return bytes.insert(bytes.end(), data.begin(), data.end()), *this;
}
AviBuilder& AviBuilder::zeros(std::size_t n) { return raw(std::string(n, '\0')); }

void AviBuilder::put32(std::vector<char>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

std::size_t AviBuilder::begin(const char* id, const char* type) {
    open_.push_back(bytes.size());
    fourcc(id).u32(0).fourcc(type);
    return open_.back();
}

AviBuilder& AviBuilder::end() {
    const std::size_t at = open_.back();
    open_.pop_back();
    put32(bytes, at + 4, static_cast<std::uint32_t>(bytes.size() - at - 8));
    return *this;
}

AviBuilder& AviBuilder::chunk(const char* id, const std::string& data) {
    fourcc(id).u32(static_cast<std::uint32_t>(data.size())).raw(data);
    return data.size() & 1 ? u8(0) : *this;
}

std::string AviBuilder::avih(std::uint32_t usPerFrame, std::uint32_t flags, std::uint32_t frames, std::uint32_t streams,
                             std::uint32_t width, std::uint32_t height) {
    AviBuilder b;
    b.u32(usPerFrame).u32(0).u32(0).u32(flags).u32(frames).u32(0).u32(streams).u32(0).u32(width).u32(height).zeros(16);
    return b.str();
}

std::string AviBuilder::strh(const char* type, std::uint32_t scale, std::uint32_t rate, std::uint32_t length,
                             std::uint32_t sampleSize) {
    AviBuilder b;
    b.fourcc(type).fourcc("    ").u32(0).u32(0).u32(0).u32(scale).u32(rate).u32(0).u32(length).u32(0).u32(0);
    b.u32(sampleSize).u16(1).u16(2).u16(3).u16(4);
    return b.str();
}

std::string AviBuilder::bitmap(std::int32_t width, std::int32_t height, std::uint16_t bits, std::uint32_t compression) {
    AviBuilder b;
    b.u32(40).u32(static_cast<std::uint32_t>(width)).u32(static_cast<std::uint32_t>(height)).u16(1).u16(bits);
    b.u32(compression).u32(0).u32(0).u32(0).u32(0).u32(0);
    return b.str();
}

std::string AviBuilder::wave(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
    AviBuilder b;
    const auto align = static_cast<std::uint16_t>(channels * bits / 8);
    b.u16(tag).u16(channels).u32(rate).u32(rate * align).u16(align).u16(bits).u16(0);
    return b.str();
}

std::string AviBuilder::idx1(const std::vector<IdxEntry>& entries) {
    AviBuilder b;
    for (const auto& e : entries) b.fourcc(e.id).u32(0x10).u32(e.offset).u32(e.size);
    return b.str();
}

std::string AviBuilder::standardIndex(const char* id, std::uint64_t base,
                                      const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
    AviBuilder b;
    b.u16(2).u8(0).u8(1).u32(static_cast<std::uint32_t>(entries.size())).fourcc(id).u64(base).u32(0);
    for (const auto& e : entries) b.u32(e.first).u32(e.second);
    return b.str();
}

std::string AviBuilder::superIndex(const char* id,
                                   const std::vector<std::pair<std::uint64_t, std::uint32_t>>& entries) {
    AviBuilder b;
    b.u16(4).u16(0).u32(static_cast<std::uint32_t>(entries.size())).fourcc(id);
    b.zeros(12);
    for (const auto& e : entries) b.u64(e.first).u32(e.second).u32(1);
    return b.str();
}

AviBuilder& AviBuilder::hdrl(const std::string& avih, const std::vector<std::pair<std::string, std::string>>& streams) {
    begin("LIST", "hdrl");
    chunk("avih", avih);
    for (const auto& [strh, strf] : streams) begin("LIST", "strl"), chunk("strh", strh).chunk("strf", strf).end();
    return end();
}

std::vector<char> makeSimpleAvi(std::uint32_t frames, std::int32_t width, std::int32_t height, bool audio,
                                bool withIdx1) {
    AviBuilder b;
    const std::uint32_t rows = static_cast<std::uint32_t>(height < 0 ? -height : height);
    const std::uint32_t frameSize = ((static_cast<std::uint32_t>(width) * 3 + 3) & ~3u) * rows;
    b.begin("RIFF", "AVI ");
    std::vector<std::pair<std::string, std::string>> streams{
        {AviBuilder::strh("vids", 1, 25, frames), AviBuilder::bitmap(width, height, 24)}};
    if (audio) streams.emplace_back(AviBuilder::strh("auds", 1, 8000, 3 * frames, 1), AviBuilder::wave(1, 1, 8000, 8));
    b.hdrl(AviBuilder::avih(40000, 0x10, frames, audio ? 2 : 1, static_cast<std::uint32_t>(width), rows), streams);
    const std::size_t movi = b.begin("LIST", "movi") + 8;
    std::vector<AviBuilder::IdxEntry> idx;
    for (std::uint32_t i = 0; i < frames; ++i) {
        idx.push_back({"00db", static_cast<std::uint32_t>(b.size() - movi), frameSize});
        std::string data(frameSize, '\0');
        for (std::uint32_t k = 0; k < frameSize; ++k) data[k] = static_cast<char>(i * 16 + k);
        b.chunk("00db", data);
        if (!audio) continue;
        idx.push_back({"01wb", static_cast<std::uint32_t>(b.size() - movi), 3});
        b.chunk("01wb",
                std::string{static_cast<char>(3 * i), static_cast<char>(3 * i + 1), static_cast<char>(3 * i + 2)});
    }
    b.end();
    if (withIdx1) b.chunk("idx1", AviBuilder::idx1(idx));
    b.end();
    return b.bytes;
}

}  // namespace avitest
