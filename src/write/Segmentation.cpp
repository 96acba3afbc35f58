#include <boost/numeric/conversion/cast.hpp>

#include "avi/File.h"

namespace avi {

bool File::isFirstRiffChunk() { return videoSuperIndex.empty() && audioSuperIndex.empty(); }

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
    std::uint64_t n = numSuperIndexEntries == 0 ? 1 : numSuperIndexEntries;
    const std::uint64_t used = videoSuperIndex.size() > audioSuperIndex.size() ? videoSuperIndex.size()
                                                                                 : audioSuperIndex.size();
    return used + 2 <= n;
}

void File::updateRiffChunk(unsigned long chunkBytes) {
    if (!atRiffBoundary(chunkBytes)) return;
    closeCurRiffChunk();
    fileHandler->setFilePos(fileHandle, fileHandler->getFilePos(fileHandle) + 24);
    moviBase = fileHandler->getFilePos(fileHandle) - 4;
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
    fileHandler->setFilePos(fileHandle, moviBase - 20);
    writeList("RIFF", r, "AVIX");
    writeList("LIST", r - 12, "movi");
    fileHandler->setFilePos(fileHandle, end);
}

}  // namespace avi
