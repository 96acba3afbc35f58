#include <algorithm>
#include <boost/numeric/conversion/cast.hpp>

#include "avi/File.h"

namespace avi {

using namespace errors;

void File::writeVideoFrame(const char* frame) { writeVideoFrame(frame, videoFrameSize); }

void File::writeVideoFrame(const char* frame, unsigned int size) {
    // An odd frame gets a zero pad byte of its own, so the next chunk starts even.
    appendChunk(frame, size, size, size & 1u, videoChunkId, videoIndex);
}

void File::writeAudio(const char* data) {
    writeMoviEntry(data, audioChunkSize, paddedAudioChunkSize, audioChunkId, audioIndex);
}

void File::writeMoviEntry(const char* data, unsigned int size, unsigned int paddedSize, const char* chunkId,
                          std::vector<IndexEntry>& index) {
    appendChunk(data, size, paddedSize, 0, chunkId, index);
}

void File::appendChunk(const char* data, std::uint32_t size, std::uint32_t dataBytes, std::uint32_t padBytes,
                       const char* chunkId, std::vector<IndexEntry>& index) {
    const std::uint32_t bytes = dataBytes + padBytes;
    if (atRiffBoundary(bytes)) {
        if (!roomForAnotherSegment()) {
            setError(ERR_UNSUPPORTED_FILE);
            return;
        }
        closeCurRiffChunk();
        fileHandler->setFilePos(fileHandle, fileHandler->getFilePos(fileHandle) + 24);
        moviBase = fileHandler->getFilePos(fileHandle) - 4;
    }
    std::uint32_t position;
    try {
        position = boost::numeric_cast<std::uint32_t>(fileHandler->getFilePos(fileHandle) - moviBase);
    } catch (const boost::numeric::bad_numeric_cast&) {
        setError(ERR_INVALID_INDEX_OFFSET);
        return;
    }
    index.emplace_back(position, size, moviBase);
    writeChunk(chunkId, size);
    bool ok = fileHandler->fwrite(data, 1, dataBytes, fileHandle) == dataBytes;
    if (ok && padBytes != 0) {
        static const char zeros[4] = {0, 0, 0, 0};
        ok = fileHandler->fwrite(zeros, 1, padBytes, fileHandle) == padBytes;
    }
    if (!ok) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    segmentMoviBytes += bytes + 8;
}

void File::convertFrameToBottomUp(char* frame) {
    const std::uint32_t height = static_cast<std::uint32_t>(bitmapHeader.biHeight);
    if (height < 2) return;
    const std::uint32_t row = videoFrameSize / height;
    for (std::uint32_t i = 0; i < height / 2; ++i)
        std::swap_ranges(frame + static_cast<std::size_t>(i) * row, frame + static_cast<std::size_t>(i + 1) * row,
                         frame + static_cast<std::size_t>(height - 1 - i) * row);
}

}  // namespace avi
