#include "Peers.h"

#include <curl/curl.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace peers {
namespace {

struct Input {
    AVFormatContext* fmt = nullptr;
    int video = -1;
    explicit Input(const std::string& path) {
        av_log_set_level(AV_LOG_ERROR);
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
            fmt = nullptr;
            return;
        }
        for (unsigned i = 0; i < fmt->nb_streams; ++i)
            if (video < 0 && fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = static_cast<int>(i);
    }
    ~Input() {
        if (fmt != nullptr) avformat_close_input(&fmt);
    }
};

}  // namespace

std::uint64_t lavfReadVideo(const std::string& path, std::uint64_t& packets) {
    Input in(path);
    if (in.fmt == nullptr || in.video < 0) return 0;
    for (unsigned i = 0; i < in.fmt->nb_streams; ++i)
        if (static_cast<int>(i) != in.video) in.fmt->streams[i]->discard = AVDISCARD_ALL;
    AVPacket* pkt = av_packet_alloc();
    std::uint64_t bytes = 0;
    packets = 0;
    while (av_read_frame(in.fmt, pkt) >= 0) {
        if (pkt->stream_index == in.video) {
            bytes += static_cast<std::uint64_t>(pkt->size);
            ++packets;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return bytes;
}

long long lavfOpen(const std::string& path) {
    Input in(path);
    if (in.fmt == nullptr || in.video < 0) return -1;
    return avformat_index_get_entries_count(in.fmt->streams[in.video]);
}

Scaler::Scaler(int width, int height, Input input) : width_(width), height_(height) {
    const AVPixelFormat from = input == Input::Pal8     ? AV_PIX_FMT_PAL8
                               : input == Input::Rgb555 ? AV_PIX_FMT_RGB555LE
                                                        : AV_PIX_FMT_BGRA;
    inStride_ = width * (input == Input::Pal8 ? 1 : input == Input::Rgb555 ? 2 : 4);
    context_ =
        sws_getContext(width, height, from, width, height, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
}

Scaler::~Scaler() { sws_freeContext(static_cast<SwsContext*>(context_)); }

void Scaler::convert(const std::uint8_t* in, const std::uint8_t* palette, std::uint8_t* out) {
    const std::uint8_t* src[4] = {in, palette, nullptr, nullptr};
    const int srcStride[4] = {inStride_, 0, 0, 0};
    std::uint8_t* dst[4] = {out, nullptr, nullptr, nullptr};
    const int dstStride[4] = {3 * width_, 0, 0, 0};
    sws_scale(static_cast<SwsContext*>(context_), src, srcStride, 0, height_, dst, dstStride);
}

namespace {

struct Ring {
    std::vector<char> bytes = std::vector<char>(1 << 20);
    std::size_t at = 0;
    std::uint64_t total = 0;
};

std::size_t take(char* data, std::size_t size, std::size_t count, void* user) {
    auto* ring = static_cast<Ring*>(user);
    std::size_t n = size * count, done = 0;
    while (done < n) {
        const std::size_t k = std::min(n - done, ring->bytes.size() - ring->at);
        std::memcpy(ring->bytes.data() + ring->at, data + done, k);
        done += k;
        ring->at = (ring->at + k) % ring->bytes.size();
    }
    ring->total += n;
    return n;
}

}  // namespace

std::uint64_t curlFetch(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return 0;
    Ring ring;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, take);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ring);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK ? ring.total : 0;
}

}  // namespace peers
