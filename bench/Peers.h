// In-process peers of the benchmark: libavformat, libswscale and libcurl.
#pragma once

#include <cstdint>
#include <string>

namespace peers {

// Demuxes every packet of the video stream (the other streams discarded); returns the
// bytes of the video packets and their number in packets, 0 on failure.
std::uint64_t lavfReadVideo(const std::string& path, std::uint64_t& packets);

// Opens the file (headers and index) and closes it; returns the index entries of the
// video stream, -1 on failure.
long long lavfOpen(const std::string& path);

// sws_scale of one frame to bgr24; made once per geometry and input format.
class Scaler {
public:
    enum class Input { Pal8, Rgb555, Bgra };
    Scaler(int width, int height, Input input);
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;
    // palette: 256 entries of 4 bytes (Pal8 only).
    void convert(const std::uint8_t* in, const std::uint8_t* palette, std::uint8_t* out);

private:
    void* context_;
    int width_, height_, inStride_;
};

// Fetches url whole with libcurl, each block copied into a 1 MiB ring as a host would take
// it; returns the bytes fetched, 0 on failure.
std::uint64_t curlFetch(const std::string& url);

}  // namespace peers
