#include "rawpipe.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "signals.h"

namespace avitool {

std::size_t packedRowBytes(std::uint32_t width, unsigned bits) { return static_cast<std::size_t>(width) * bits / 8; }

void flipRows(const char* src, std::size_t srcStride, char* dst, std::size_t dstStride, std::size_t rowBytes,
              std::uint32_t height) {
    for (std::uint32_t r = 0; r < height; ++r)
        std::memcpy(dst + static_cast<std::size_t>(r) * dstStride,
                    src + static_cast<std::size_t>(height - 1 - r) * srcStride, rowBytes);
}

std::vector<char> pal8Trailer(const std::vector<avi::tagRGBQUAD>& map) {
    std::vector<char> trailer(1024, 0);
    for (std::size_t i = 0; i < map.size() && i < 256; ++i) {
        const char entry[4] = {static_cast<char>(map[i].rgbBlue), static_cast<char>(map[i].rgbGreen),
                               static_cast<char>(map[i].rgbRed), static_cast<char>(0xFF)};
        std::copy(entry, entry + 4, trailer.begin() + static_cast<std::ptrdiff_t>(4 * i));
    }
    return trailer;
}

std::vector<avi::tagRGBQUAD> pal8Palette(const char* p) {
    std::vector<avi::tagRGBQUAD> map(256);
    for (std::size_t i = 0; i < map.size(); ++i)
        map[i] = {static_cast<std::uint8_t>(p[4 * i]), static_cast<std::uint8_t>(p[4 * i + 1]),
                  static_cast<std::uint8_t>(p[4 * i + 2]), 0};
    return map;
}

std::size_t readInput(char* dst, std::size_t n, double every, const std::function<void()>& idle) {
    std::size_t done = 0;
    while (done < n) {
        pollfd in{0, POLLIN, 0};
        const int ready = every > 0 ? ::poll(&in, 1, static_cast<int>(every * 1000)) : 1;
        if (ready == 0) {
            idle();
            continue;
        }
        const ssize_t got = ready < 0 ? -1 : ::read(0, dst + done, n - done);
        if (got < 0 && errno == EINTR && !stopped()) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace avitool
