// Reading through the tolerant reader: every chunk's header is checked in the same read as
// its data, and pictures are laid out and converted as ffmpeg gives them.
#include <algorithm>
#include <cstring>

#include "format/Rows.h"
#include "tolerant.h"

namespace salvage {

namespace {

// Rows of a picture read in blocks of about this many bytes when they must be reversed: each
// block is reversed while it is still in cache.
const std::size_t BLOCK_BYTES = 256 * 1024;

std::string describeChunk(const char* header) {
    std::string id;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(header[i]);
        id += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : "\\x" + std::to_string(c);
    }
    return "'" + id + "' of " + std::to_string(avi::fcns::char2uint32(header + 4)) + " bytes";
}

using avi::format::reverseRows;

using Pixels = VideoFormat::Pixels;

// One row of stored pixels as B, G, R bytes, as ffmpeg converts them.
void rowToBgr(const unsigned char* in, unsigned char* out, const VideoFormat& v, const unsigned char* palette) {
    const std::uint32_t width = v.width;
    if (v.gray()) {  // the grey value in each channel; of 16 bits, the high byte
        const unsigned step = v.pixels == Pixels::Gray16 ? 2 : 1;
        for (std::uint32_t x = 0; x < width; ++x) std::memset(out + 3 * x, in[step * x], 3);
        return;
    }
    switch (v.bits) {
        case 8:
            for (std::uint32_t x = 0; x < width; ++x) std::memcpy(out + 3 * x, palette + 3 * in[x], 3);
            break;
        case 16:  // RGB555: each 5-bit channel widened with its high bits repeated
            for (std::uint32_t x = 0; x < width; ++x) {
                const unsigned p = in[2 * x] | in[2 * x + 1] << 8;
                const unsigned b = p & 31, g = (p >> 5) & 31, r = (p >> 10) & 31;
                out[3 * x] = static_cast<unsigned char>(b << 3 | b >> 2);
                out[3 * x + 1] = static_cast<unsigned char>(g << 3 | g >> 2);
                out[3 * x + 2] = static_cast<unsigned char>(r << 3 | r >> 2);
            }
            break;
        case 24:
            std::memcpy(out, in, 3 * static_cast<std::size_t>(width));
            break;
        default:  // 32: the fourth byte is dropped
            for (std::uint32_t x = 0; x < width; ++x) std::memcpy(out + 3 * x, in + 4 * x, 3);
    }
}

// One row of grey values in the host's byte order.
void rowToGray(const unsigned char* in, unsigned char* out, const VideoFormat& v) {
    if (v.pixels == Pixels::Gray8) {
        std::memcpy(out, in, v.width);
        return;
    }
    for (std::uint32_t x = 0; x < v.width; ++x) {  // stored big-endian
        const auto value = static_cast<std::uint16_t>(in[2 * x] << 8 | in[2 * x + 1]);
        std::memcpy(out + 2 * x, &value, 2);
    }
}

// Bytes of a row of the picture without padding.
std::uint64_t packedRow(const VideoFormat& v, const Picture& as) {
    switch (as.format) {
        case Picture::BGR24:
            return 3ull * v.width;
        case Picture::Gray:
            return (v.pixels == Pixels::Gray16 ? 2ull : 1ull) * v.width;
        default:
            return v.gray() ? v.storedStride() : (std::uint64_t{v.width} * v.bits + 7) / 8;
    }
}

// Why frame n's chunk e cannot be handed out, after a read of its header (read tells whether
// the read succeeded); "" when it can.
std::string frameProblem(std::uint64_t n, const FrameEntry& e, const char* header, bool read, unsigned stream,
                         std::uint64_t fileSize) {
    const std::string frame = "frame " + std::to_string(n);
    if (!read)
        return frame + ": cannot read " + std::to_string(e.size) + " bytes at offset " + std::to_string(e.offset) +
               " (the file holds " + std::to_string(fileSize) + ")";
    if (!chunkMatches(header, stream, true, e.size))
        return frame + ": the chunk at offset " + std::to_string(e.offset - 8) + " is " + describeChunk(header) +
               ", not a video chunk of stream " + std::to_string(stream) + " of " + std::to_string(e.size) + " bytes";
    return std::string();
}

}  // namespace

bool TolerantReader::Impl::readChunk(std::uint64_t offset, char* header, char* out, std::size_t n) {
    if (offset < 8) return false;
    if (vectored != nullptr) {
        const avi::IVectoredIO::Piece pieces[2] = {{header, 8}, {out, n}};
        return vectored->readPieces(handle, offset - 8, pieces, 2) == 8 + n;
    }
    return handler->setFilePos(handle, offset - 8) == 0 && handler->fread(header, 1, 8, handle) == 8 &&
           (n == 0 || handler->fread(out, 1, n, handle) == n);
}

bool TolerantReader::Impl::readAt(std::uint64_t position, char* out, std::size_t n) {
    if (vectored != nullptr) {
        const avi::IVectoredIO::Piece piece{out, n};
        return vectored->readPieces(handle, position, &piece, 1) == n;
    }
    return handler->setFilePos(handle, position) == 0 && handler->fread(out, 1, n, handle) == n;
}

double TolerantReader::frameTime(std::uint64_t n) const {
    return video_.rateNum == 0 ? 0.0 : static_cast<double>(n) * video_.rateDen / video_.rateNum;
}

std::int64_t TolerantReader::shownFrame(std::uint64_t n) const {
    if (n >= frames_.size()) return -1;
    auto i = static_cast<std::int64_t>(n);
    while (i >= 0 && frames_[static_cast<std::size_t>(i)].size == 0) --i;
    return i;
}

bool TolerantReader::readStored(std::uint64_t n, char* out) {
    if (!impl_ || n >= frames_.size()) {
        error_ = "frame " + std::to_string(n) + " is not in the file (" + std::to_string(frames_.size()) + " frames)";
        return false;
    }
    const FrameEntry& e = frames_[n];
    if (e.size == 0) {
        error_ = "frame " + std::to_string(n) + " is dropped: its chunk is empty";
        return false;
    }
    char header[8] = {};
    const bool read = impl_->readChunk(e.offset, header, out, e.size);
    error_ = frameProblem(n, e, header, read, video_.stream, findings_.fileSize);
    return error_.empty();
}

std::size_t TolerantReader::pictureBytes(const Picture& as) const {
    if (!hasVideo_ || video_.compressed() || video_.width == 0 || video_.height == 0) return 0;
    const unsigned bits = video_.bits;
    const bool bitmap = video_.pixels == Pixels::Bitmap;
    if (as.format == Picture::BGR24 && bitmap && bits != 8 && bits != 16 && bits != 24 && bits != 32) return 0;
    if (as.format == Picture::Gray && !video_.gray()) return 0;
    const std::uint64_t packed = packedRow(video_, as);
    const std::uint64_t stride = as.stride != 0 ? as.stride : packed;
    if (stride < packed) return 0;
    return static_cast<std::size_t>(stride * video_.height);
}

bool TolerantReader::readPicture(std::uint64_t n, char* out, const Picture& as) {
    const std::size_t bytes = pictureBytes(as);
    if (bytes == 0) {
        error_ = video_.compressed()
                     ? "frame " + std::to_string(n) + ": " + video_.fourcc + " frames are read as stored"
                     : "frame " + std::to_string(n) + ": no picture of these " + std::to_string(video_.bits) +
                           "-bit frames in that form";
        return false;
    }
    const std::int64_t shown = shownFrame(n);
    if (shown < 0) {
        error_ =
            n < frames_.size()
                ? "frame " + std::to_string(n) + " is dropped and no frame before it holds a picture"
                : "frame " + std::to_string(n) + " is not in the file (" + std::to_string(frames_.size()) + " frames)";
        return false;
    }
    const auto s = static_cast<std::uint64_t>(shown);
    const FrameEntry& e = frames_[s];
    const std::uint64_t stride = video_.storedStride(), rows = video_.height;
    if (e.size != stride * rows) {
        error_ = "frame " + std::to_string(s) + " holds " + std::to_string(e.size) + " bytes; " +
                 std::to_string(video_.width) + "x" + std::to_string(rows) + " at " + std::to_string(video_.bits) +
                 " bits takes " + std::to_string(stride * rows);
        return false;
    }
    const std::uint64_t packed = packedRow(video_, as);
    const std::uint64_t outStride = as.stride != 0 ? as.stride : packed;
    const bool flip = as.topDown != video_.topDown;
    // Stored bytes that are the picture asked for, row for row.
    const bool same =
        outStride == stride && (as.format == Picture::Stored ||
                                (as.format == Picture::BGR24 && video_.pixels == Pixels::Bitmap && video_.bits == 24) ||
                                (as.format == Picture::Gray && video_.pixels == Pixels::Gray8));
    if (same && !flip) return readStored(s, out);
    if (same && impl_->vectored != nullptr) {
        // One read puts every row where it ends up: the flip costs no pass of its own.
        char header[8] = {};
        auto& pieces = impl_->rows;
        pieces.assign(1, {header, 8});
        for (std::uint64_t r = rows; r-- > 0;) pieces.push_back({out + r * stride, static_cast<std::size_t>(stride)});
        const bool read = e.offset >= 8 && impl_->vectored->readPieces(impl_->handle, e.offset - 8, pieces.data(),
                                                                       pieces.size()) == 8 + e.size;
        error_ = frameProblem(s, e, header, read, video_.stream, findings_.fileSize);
        return error_.empty();
    }
    if (same) {
        // Blocks of rows are read straight to where they end up and reversed there.
        const std::size_t perBlock = std::max<std::size_t>(1, BLOCK_BYTES / stride);
        char header[8] = {};
        bool read = true;
        for (std::uint64_t first = 0; read && first < rows; first += perBlock) {
            const std::uint64_t count = std::min<std::uint64_t>(perBlock, rows - first);
            char* to = out + (rows - first - count) * stride;
            read = first == 0 ? impl_->readChunk(e.offset, header, to, count * stride)
                              : impl_->readAt(e.offset + first * stride, to, count * stride);
            reverseRows(to, stride, count);
        }
        error_ = frameProblem(s, e, header, read, video_.stream, findings_.fileSize);
        return error_.empty();
    }
    std::vector<char>& stored = impl_->scratch;
    stored.resize(e.size);
    if (!readStored(s, stored.data())) return false;
    for (std::uint64_t r = 0; r < rows; ++r) {
        const auto* in = reinterpret_cast<const unsigned char*>(stored.data() + (flip ? rows - 1 - r : r) * stride);
        auto* to = reinterpret_cast<unsigned char*>(out + r * outStride);
        if (as.format == Picture::Stored)
            std::memcpy(to, in, packed);
        else if (as.format == Picture::Gray)
            rowToGray(in, to, video_);
        else
            rowToBgr(in, to, video_, impl_->bgr);
    }
    return true;
}

std::size_t TolerantReader::readAudio(std::uint64_t at, char* out, std::size_t n) {
    if (!impl_ || at >= audioBytes_) return 0;
    Impl& m = *impl_;
    std::size_t k = static_cast<std::size_t>(std::upper_bound(m.audioStart.begin(), m.audioStart.end(), at) -
                                             m.audioStart.begin()) -
                    1;
    std::size_t done = 0;
    for (; done < n && k < audioChunks_.size(); ++k) {
        const AudioChunk& c = audioChunks_[k];
        const std::uint64_t within = at + done - m.audioStart[k];
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(c.size - within, n - done));
        char header[8] = {};
        bool ok;
        if (m.audioProven[k]) {
            ok = m.readAt(c.offset + within, out + done, take);
        } else {
            // The header comes with the data when the read starts at the chunk's start.
            ok = within == 0
                     ? m.readChunk(c.offset, header, out + done, take)
                     : m.readChunk(c.offset, header, nullptr, 0) && m.readAt(c.offset + within, out + done, take);
            if (ok && !chunkMatches(header, audio_.stream, false, c.stored)) {
                error_ = "audio chunk " + std::to_string(k) + ": the chunk at offset " + std::to_string(c.offset - 8) +
                         " is " + describeChunk(header) + ", not an audio chunk of stream " +
                         std::to_string(audio_.stream) + " of " + std::to_string(c.stored) + " bytes";
                return 0;
            }
            m.audioProven[k] = ok;
        }
        if (!ok) {
            error_ = "audio chunk " + std::to_string(k) + ": cannot read " + std::to_string(take) +
                     " bytes at offset " + std::to_string(c.offset + within);
            return 0;
        }
        done += take;
    }
    return done;
}

}  // namespace salvage
