#include <boost/numeric/conversion/cast.hpp>

#include "avi/File.h"
#include "avi/WriteCapabilities.h"
#include "format/Rows.h"
#include "write/Encoding.h"

namespace avi {

using namespace errors;

void File::writeVideoFrame(const char* frame) { writeVideoFrame(frame, videoFrameSize); }

void File::writeVideoFrame(const char* frame, unsigned int size) {
    if (!hasVideoStream) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    // An odd frame gets a zero pad byte of its own, so the next chunk starts even.
    appendChunk(frame, size, size, size & 1u, videoChunkId, videoIndex);
}

void File::writeAudio(const char* data) {
    if (!hasAudioStream) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    writeMoviEntry(data, audioChunkSize, paddedAudioChunkSize, audioChunkId, audioIndex);
}

void File::writeMoviEntry(const char* data, unsigned int size, unsigned int paddedSize, const char* chunkId,
                          std::vector<IndexEntry>& index) {
    appendChunk(data, size, paddedSize, 0, chunkId, index);
}

void File::appendChunk(const char* data, std::uint32_t size, std::uint32_t dataBytes, std::uint32_t padBytes,
                       const char* chunkId, std::vector<IndexEntry>& index) {
    if (mode != 1 || fileHandle == nullptr || !fileHandler) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(dataBytes) + padBytes;
    if (checkpoints ? !prepareCheckpointedChunk(bytes, &index == &videoIndex ? 0 : 1) : !switchSegmentIfFull(bytes))
        return;
    const std::uint64_t start = fileHandler->getFilePos(fileHandle);
    std::uint32_t position;
    try {
        position = boost::numeric_cast<std::uint32_t>(start - moviBase);
    } catch (const boost::numeric::bad_numeric_cast&) {
        setError(ERR_INVALID_INDEX_OFFSET);
        return;
    }
    index.emplace_back(position, size, moviBase);
    bool headerWritten = true;
    const bool dataWritten = writeChunkWithData(chunkId, size, data, dataBytes, padBytes, headerWritten);
    if (!dataWritten || (checkpoints && !headerWritten)) {
        setError(ERR_FWRITE_FAILED);
        // A checkpoint must never name a chunk that did not reach the file: it is taken
        // back, and the next chunk goes where it began.
        if (checkpoints) {
            index.pop_back();
            seekTo(start);
        }
        return;
    }
    segmentMoviBytes += static_cast<std::uint32_t>(bytes + 8);
    if (checkpoints) checkpointIfDue();
}

bool File::writeChunkWithData(const char* id, std::uint32_t size, const char* data, std::uint32_t dataBytes,
                              std::uint32_t padBytes, bool& headerWritten) {
    static const char zeros[4] = {0, 0, 0, 0};
    char header[8];
    putChunkHeader(header, id, size);
    if (auto* v = dynamic_cast<IVectoredWrite*>(fileHandler.get())) {
        // The chunk header, the host's bytes and the pad byte in one system call.
        const IVectoredIO::Piece pieces[3] = {
            {header, 8}, {const_cast<char*>(data), dataBytes}, {const_cast<char*>(zeros), padBytes}};
        const std::size_t total = 8ULL + dataBytes + padBytes;
        headerWritten = v->writePieces(fileHandle, pieces, padBytes != 0 ? 3 : 2) == total;
        return headerWritten;
    }
    // As writeChunk writes it, with its own outcome: the error state may hold an older failure.
    headerWritten = fileHandler->fwrite(header, 1, 8, fileHandle) == 8;
    if (!headerWritten) setError(ERR_FWRITE_FAILED);
    // The host's bytes go out as they are, in one write; the pad byte, if any, in a second.
    bool ok = fileHandler->fwrite(data, 1, dataBytes, fileHandle) == dataBytes;
    if (ok && padBytes != 0) ok = fileHandler->fwrite(zeros, 1, padBytes, fileHandle) == padBytes;
    return ok;
}

void File::convertFrameToBottomUp(char* frame) {
    const std::uint64_t height = mainHeader.dwHeight;
    if (height < 2 || frame == nullptr) return;
    std::uint64_t row = videoFrameSize / height;
    // Depths written with explicit sizes (16 and 32 bits) have no fixed frame size; their
    // rows are the stored bitmap rows, padded to 4 bytes. Compressed frames are opaque.
    if (videoFrameSize == 0 && bitmapHeader.biCompression == 0)
        row = format::rowStride(mainHeader.dwWidth, bitmapHeader.biBitCount);
    if (row == 0) return;
    format::reverseRows(frame, static_cast<std::size_t>(row), static_cast<std::size_t>(height));
}

}  // namespace avi
