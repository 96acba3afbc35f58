#include <boost/numeric/conversion/cast.hpp>

#include "avi/File.h"

namespace avi {

using namespace errors;

bool File::isFirstRiffChunk() {
    // firstRiffEnd too, so that a first segment whose indexes failed to write is still
    // closed only once.
    return videoSuperIndex.empty() && audioSuperIndex.empty() && firstRiffEnd == 0;
}

std::uint32_t File::getCurRiffChunkSize() {
    const std::uint64_t pos = fileHandler->getFilePos(fileHandle);
    return boost::numeric_cast<std::uint32_t>(isFirstRiffChunk() ? pos : pos - moviBase + 12);
}

bool File::atRiffBoundary(unsigned long chunkBytes) {
    std::uint64_t t = static_cast<std::uint64_t>(chunkBytes) + getCurRiffChunkSize() + 8;
    if (hasVideoStream) t += 8ULL * boost::numeric_cast<std::uint32_t>(videoIndex.size() + 1) + 24 + 8;
    if (hasAudioStream) t += 8ULL * boost::numeric_cast<std::uint32_t>(audioIndex.size() + 1) + 24 + 8;
    return t >= (1ULL << 31);
}

bool File::roomForAnotherSegment() const {
    // The segment being closed and the one about to open each take a super-index slot.
    const std::uint64_t n = numSuperIndexEntries == 0 ? 1 : numSuperIndexEntries;
    const std::uint64_t used =
        videoSuperIndex.size() > audioSuperIndex.size() ? videoSuperIndex.size() : audioSuperIndex.size();
    return used + 2 <= n;
}

bool File::switchSegmentIfFull(std::uint64_t chunkBytes) {
    // A chunk too big for even a fresh segment (16 bytes of headers, the chunk, one entry
    // per standard index) is refused: a switch would not make it fit.
    const std::uint64_t fresh = 16 + chunkBytes + 8 + (hasVideoStream ? 40 : 0) + (hasAudioStream ? 40 : 0);
    if (fresh >= (1ULL << 31)) {
        setError(ERR_UNSUPPORTED_FILE);
        return false;
    }
    if (!atRiffBoundary(static_cast<unsigned long>(chunkBytes))) return true;
    if (!roomForAnotherSegment()) {
        setError(ERR_UNSUPPORTED_FILE);
        return false;
    }
    closeCurRiffChunk();
    // Room for the RIFF/AVIX and LIST/movi headers, written when this segment closes.
    const std::uint64_t dataStart = fileHandler->getFilePos(fileHandle) + 24;
    seekTo(dataStart);
    moviBase = dataStart - 4;
    return true;
}

void File::updateRiffChunk(unsigned long chunkBytes) { switchSegmentIfFull(chunkBytes); }

bool File::seekTo(std::uint64_t position) {
    if (fileHandler->setFilePos(fileHandle, position) == 0) return true;
    if (position <= 0x7FFFFFFFFFFFFFFFULL &&
        fileHandler->fseek(fileHandle, static_cast<std::int64_t>(position), 0) == 0)
        return true;
    setError(ERR_SEEK_FAILED);
    return false;
}

void File::closeCurRiffChunk() {
    const bool first = isFirstRiffChunk();
    if (hasVideoStream) writeOpenDMLStandardIndex(videoChunkId, videoStreamNumber, videoIndex, videoSuperIndex);
    if (hasAudioStream) writeOpenDMLStandardIndex(audioChunkId, audioStreamNumber, audioIndex, audioSuperIndex);
    if (first) {
        writeLegacyIndex();
        firstRiffEnd = static_cast<std::uint32_t>(fileHandler->ftell(fileHandle));
        firstRiffVideoChunks = boost::numeric_cast<std::uint32_t>(videoIndex.size());
        firstRiffAudioChunks = boost::numeric_cast<std::uint32_t>(audioIndex.size());
        firstRiffMoviBytes = segmentMoviBytes;
    } else {
        writeAVIXChunk();
        avixVideoChunks += boost::numeric_cast<std::uint32_t>(videoIndex.size());
    }
    videoIndex.clear();
    audioIndex.clear();
    segmentMoviBytes = 0;
}

void File::writeAVIXChunk() {
    const std::uint64_t end = fileHandler->getFilePos(fileHandle);
    const std::uint32_t r = getCurRiffChunkSize();
    // Without the way back, the headers are left out rather than written over the data.
    if (!seekTo(moviBase - 20)) return;
    writeList("RIFF", r, "AVIX");
    writeList("LIST", r - 12, "movi");
    seekTo(end);
}

}  // namespace avi
