#include <boost/numeric/conversion/cast.hpp>
#include <cstdio>
#include <cstring>

#include "avi/File.h"
#include "write/Encoding.h"

namespace avi {

using namespace errors;
using fcns::putUint32;
using fcns::putUint64;

void File::populateOpenDMLBaseIndex(aviindex_chunk& chunk, const char* id, unsigned short longs, unsigned char type,
                                    unsigned int entries) {
    chunk.longsPerEntry = longs;
    chunk.indexSubType = 0;
    chunk.indexType = type;
    chunk.entriesInUse = entries;
    chunk.chunkId = fcns::char2uint32(id);
}

void File::copyOpenDMLBaseIndex2Buf(const aviindex_chunk& chunk, char* b) {
    fcns::putUint16(b, chunk.longsPerEntry);
    b[2] = static_cast<char>(chunk.indexSubType);
    b[3] = static_cast<char>(chunk.indexType);
    putUint32(b + 4, chunk.entriesInUse);
    putUint32(b + 8, chunk.chunkId);
}

void File::writeOpenDMLBaseIndex(const char* id, unsigned short longs, unsigned char type, unsigned int entries) {
    aviindex_chunk chunk;
    populateOpenDMLBaseIndex(chunk, id, longs, type, entries);
    char b[INDEX_HEADER_SIZE];
    copyOpenDMLBaseIndex2Buf(chunk, b);
    if (fileHandler->fwrite(b, 1, sizeof b, fileHandle) != sizeof b) setError(ERR_FWRITE_FAILED);
}

std::uint32_t File::getOpenDMLSuperIndexLength(unsigned long entries) {
    return 16u * boost::numeric_cast<std::uint32_t>(entries) + 24u;
}

std::uint32_t File::getOpenDMLStandardIndexLength(unsigned long entries) {
    return 8u * boost::numeric_cast<std::uint32_t>(entries) + 24u;
}

void File::writeOpenDMLSuperIndex(const char* id, const std::vector<SuperIndexEntry>& entries) {
    const std::uint32_t n = boost::numeric_cast<std::uint32_t>(entries.size());
    writeChunk("indx", getOpenDMLSuperIndexLength(n));
    writeOpenDMLBaseIndex(id, 4, 0, n);
    static const char reserved[12] = {};
    if (fileHandler->fwrite(reserved, 1, sizeof reserved, fileHandle) != sizeof reserved) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    if (n == 0) return;
    std::vector<char> b(16ULL * n);
    putSuperIndexEntries(b.data(), entries.data(), entries.data() + entries.size());
    if (fileHandler->fwrite(b.data(), 1, b.size(), fileHandle) != b.size()) setError(ERR_FWRITE_FAILED);
}

void File::writeOpenDMLStandardIndex(const char* id, unsigned int streamNumber, const std::vector<IndexEntry>& entries,
                                     std::vector<SuperIndexEntry>& superEntries) {
    const std::uint64_t start = fileHandler->getFilePos(fileHandle);
    const std::uint32_t n = boost::numeric_cast<std::uint32_t>(entries.size());
    char ixId[5];
    standardIndexId(ixId, streamNumber);
    writeChunk(ixId, getOpenDMLStandardIndexLength(n));
    writeOpenDMLBaseIndex(id, 2, 1, n);
    // Base offset, reserved field and all entries go out in one write. An index without
    // entries takes the segment's own movi list as its base.
    std::vector<char> b(12 + 8ULL * n);
    putUint64(b.data(), entries.empty() ? moviBase : entries.front().getBaseOffset());
    putUint32(b.data() + 8, 0);
    putStandardIndexEntries(b.data() + 12, entries.data(), entries.data() + entries.size());
    if (fileHandler->fwrite(b.data(), 1, b.size(), fileHandle) != b.size()) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    // Duration in the stream's ticks: frames for video, sample frames for audio.
    const std::uint32_t sampleSize = streamHeaders[streamNumber % MAX_STREAMS].dwSampleSize;
    std::uint64_t duration = n;
    if (sampleSize != 0 && hasAudioStream && streamNumber == audioStreamNumber)
        duration = static_cast<std::uint64_t>(audioChunkSize) * n / sampleSize;
    if (duration > 0xFFFFFFFFull) duration = 0xFFFFFFFFull;
    superEntries.emplace_back(start, 8u * n + 32u, static_cast<std::uint32_t>(duration));
}

std::uint32_t File::getLegacyIndexLength() {
    const std::uint64_t count = (hasVideoStream ? videoIndex.size() : 0) + (hasAudioStream ? audioIndex.size() : 0);
    return boost::numeric_cast<std::uint32_t>(16 * count);
}

void File::writeLegacyIndex() {
    const std::uint32_t size = getLegacyIndexLength();
    writeChunk("idx1", size);
    // All entries (video first, then audio) are encoded into one buffer and written once.
    std::vector<char> b(size);
    char* p = b.data();
    const auto put = [&p](const char* id, const std::vector<IndexEntry>& index) {
        for (const auto& e : index) {
            std::memcpy(p, id, 4);
            putUint32(p + 4, 0);
            putUint32(p + 8, e.getPosition());
            putUint32(p + 12, e.getSize());
            p += 16;
        }
    };
    if (hasVideoStream) put(videoChunkId, videoIndex);
    if (hasAudioStream) put(audioChunkId, audioIndex);
    if (size != 0 && fileHandler->fwrite(b.data(), 1, size, fileHandle) != size) setError(ERR_FWRITE_FAILED);
}

}  // namespace avi
