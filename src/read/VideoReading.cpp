#include "avi/File.h"
#include "avi/LocalFileHandler.h"
#include "format/Rows.h"

namespace avi {

using namespace errors;

void File::readVideoFrame(char* buffer) { readVideoFrame(buffer, INVALID_FRAME_INDEX); }

void File::readVideoFrame(char* buffer, long long frameNumber) {
    clearError();
    if (videoIndex.empty()) {
        setError(ERR_VIDEO_CHUNKS_MISSING);
        return;
    }
    const bool compressed = isVideoCompressed();
    // The host sizes the buffer of an uncompressed frame by the first frame; an index whose
    // first entry is not the frame size (another stream's chunk) would have it overrun.
    if (!compressed && videoIndex.front().getSize() != videoFrameSize) {
        setError(ERR_INVALID_INDEX);
        return;
    }
    const bool sequential = frameNumber == INVALID_FRAME_INDEX;
    std::uint64_t frame;
    if (sequential) {
        if (framesRead == totalFrames()) return;
        frame = framesRead;
    } else {
        // Other negative numbers are out of range like those past the end.
        if (frameNumber < 0 || static_cast<std::uint64_t>(frameNumber) >= totalFrames()) return;
        frame = static_cast<std::uint64_t>(frameNumber);
    }
    if (frame >= videoIndex.size()) return;
    const IndexEntry& e = videoIndex[frame];
    const std::uint32_t bytes = compressed ? e.getSize() : videoFrameSize;
    fileHandler->setFilePos(fileHandle, e.getAbsolutePosition());
    const std::uint32_t height = static_cast<std::uint32_t>(bitmapHeader.biHeight);
    // A height beyond the frame's bytes leaves rows of 0 bytes: nothing to swap, and a loop
    // over its rows would only burn time.
    const std::uint32_t row = height >= 2 ? videoFrameSize / height : 0;
    const bool flip = topDown && !compressed && row != 0;
    auto* local = flip ? dynamic_cast<LocalFileHandler*>(fileHandler.get()) : nullptr;
    if (local != nullptr) {
        // The local handler reverses the rows run by run as they arrive, while in cache.
        const std::size_t body = static_cast<std::size_t>(row) * height;
        if (local->freadRowsReversed(buffer, row, height, bytes - body, fileHandle) != bytes) {
            setError(ERR_FREAD_FAILED);
            return;
        }
    } else {
        if (fileHandler->fread(buffer, 1, bytes, fileHandle) != bytes) {
            setError(ERR_FREAD_FAILED);
            return;
        }
        if (flip) format::reverseRows(buffer, row, height);
    }
    if (sequential) ++framesRead;
}

void File::readIndexedVideoFrame(char* buffer, long long frameNumber) {
    if (isVideoCompressed()) {
        setError(ERR_COMPRESSED_VIDEO);
        return;
    }
    // An 8-bit frame larger than its geometry would overrun a buffer of
    // getIndexedVideoFrameSize() bytes.
    if (bitmapHeader.biBitCount == 8 && videoFrameSize > getIndexedVideoFrameSize()) {
        setError(ERR_UNSUPPORTED_BITMAP_HEADER);
        return;
    }
    readVideoFrame(buffer, frameNumber);
    if (errorCode != ERR_NONE) return;
    if (bitmapHeader.biBitCount != 8) setError(ERR_VIDEO_NOT_INDEXED);
}

bool File::isEndOfVideo() { return framesRead == totalFrames(); }
std::uint64_t File::getVideoFramesRead() const { return framesRead; }
void File::resetVideo() { framesRead = 0; }
std::uint32_t File::getVideoTotalFrames() const { return totalFrames(); }
bool File::isVideoCompressed() { return (bitmapHeader.biCompression & 0xFFu) != 0; }

std::uint32_t File::getRawVideoFrameSize(long long frameNumber) {
    if (frameNumber < 0 || static_cast<unsigned long long>(frameNumber) >= totalFrames()) return 0;
    if (videoIndex.empty()) {
        setError(ERR_VIDEO_CHUNKS_MISSING);
        return 0;
    }
    if (static_cast<unsigned long long>(frameNumber) >= videoIndex.size()) return 0;
    return videoIndex[static_cast<std::size_t>(frameNumber)].getSize();
}

std::uint32_t File::getIndexedVideoFrameSize() {
    if (bitmapHeader.biBitCount != 8) return 0;
    const auto width = static_cast<std::uint32_t>(bitmapHeader.biWidth);
    // In 32 bits, as the getter's type has it.
    return static_cast<std::uint32_t>(format::paddedRow(width) * static_cast<std::uint32_t>(bitmapHeader.biHeight));
}

std::uint32_t File::getVideoWidth() const { return static_cast<std::uint32_t>(bitmapHeader.biWidth); }
std::uint32_t File::getVideoHeight() const { return static_cast<std::uint32_t>(bitmapHeader.biHeight); }
std::uint16_t File::getVideoBitsPerPixel() const { return bitmapHeader.biBitCount; }

std::string File::getVideoFourCC() {
    if (bitmapHeader.biCompression == 0) return std::string();
    return std::string(fcns::uint32ToChar(bitmapHeader.biCompression).get(), 4);
}

std::uint32_t File::getVideoStreamRate() const { return streamHeaders[videoStreamNumber % MAX_STREAMS].dwRate; }
std::uint32_t File::getVideoStreamScale() const { return streamHeaders[videoStreamNumber % MAX_STREAMS].dwScale; }

double File::getVideoFrameRate() const {
    return static_cast<double>(getVideoStreamRate()) / static_cast<double>(getVideoStreamScale());
}

std::vector<tagRGBQUAD> File::getColormap() const { return colormap; }

}  // namespace avi
