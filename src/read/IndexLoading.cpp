#include <sys/mman.h>

#include <algorithm>
#include <boost/numeric/conversion/cast.hpp>
#include <cstring>
#include <memory>

#include "avi/File.h"
#include "format/ChunkId.h"
#include "format/Records.h"

namespace avi {

using namespace errors;
using fcns::char2uint32;
using fcns::char2uint64;

namespace {

using format::Kind;
Kind kindOf(const char* id) { return format::kindByLetters(id); }

void fourChars(std::uint32_t id, char out[5]) {
    fcns::putUint32(out, id);
    out[4] = 0;
}

// Largest number of idx1 entries read at once when the file cannot vouch for the whole
// index (a truncated file): 1 MiB.
const std::uint32_t LEGACY_BLOCK_ENTRIES = 65536;

}  // namespace

void File::parseStreamIndex(unsigned long k, char* data, unsigned long length) {
    parseStreamIndexAt(k, data, length, 0);
}

// The unbounded forms take the caller's word that the data holds every entry the header
// counts; they run the bounded steps over exactly that extent.
void File::parseStreamIndex(unsigned long k, char* data) {
    const aviindex_chunk h = parseOpenDMLBaseIndex(data);
    const std::uint64_t entryBytes = h.indexType == 0 ? 16 : 8;
    parseStreamIndex(k, data, static_cast<unsigned long>(INDEX_HEADER_SIZE + 12 + entryBytes * h.entriesInUse));
}

void File::parseOpenDMLSuperIndex(unsigned long k, const aviindex_chunk& h, char* data) {
    parseOpenDMLSuperIndex(k, h, data, static_cast<unsigned long>(12 + 16ULL * h.entriesInUse));
}

void File::parseOpenDMLStandardIndex(unsigned long k, const aviindex_chunk& h, char* data) {
    parseOpenDMLStandardIndex(k, h, data, static_cast<unsigned long>(12 + 8ULL * h.entriesInUse));
}

aviindex_chunk File::parseOpenDMLBaseIndex(char* d) { return format::decodeIndexHeader(d); }

void File::parseStreamIndexAt(unsigned long k, char* data, unsigned long length, unsigned depth) {
    if (k != audioStreamNumber && k != videoStreamNumber) return;
    if (length < INDEX_HEADER_SIZE) {
        setError(ERR_INVALID_INDEX);
        return;
    }
    const aviindex_chunk h = parseOpenDMLBaseIndex(data);
    if (errorCode != ERR_NONE) return;
    const unsigned long rest = length - INDEX_HEADER_SIZE;
    char* body = data + INDEX_HEADER_SIZE;
    switch (h.indexType) {
        case 0x80:
            setError(ERR_UNSUPPORTED_INDEX_TYPE);
            return;
        case 1:
            parseOpenDMLStandardIndex(k, h, body, rest);
            return;
        case 0:
            if (depth >= MAX_INDEX_NESTING) {
                setError(ERR_INVALID_INDEX);
                return;
            }
            // The nesting depth travels through the member so that the public entry point
            // keeps its signature.
            {
                const unsigned saved = indexDepth;
                indexDepth = depth;
                parseOpenDMLSuperIndex(k, h, body, rest);
                indexDepth = saved;
            }
            return;
        default:
            setError(ERR_INVALID_INDEX);
            return;
    }
}

namespace {

// Room for extra more entries; growth is geometric, so many chunks cost few moves. Large
// vectors ask for huge pages before they are first touched: a page fault per 4 KiB of a
// multi-million-entry index costs more than parsing it.
void reserveFor(std::vector<IndexEntry>& index, std::uint64_t extra) {
    if (index.capacity() - index.size() >= extra) return;
    const std::size_t was = index.capacity();
    index.reserve(static_cast<std::size_t>(index.size() + std::max<std::uint64_t>(extra, index.size())));
#ifdef MADV_HUGEPAGE
    const std::size_t huge = 2u << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(index.data() + index.size());
    const auto end = reinterpret_cast<std::uintptr_t>(index.data() + index.capacity());
    const std::uintptr_t from = (begin + huge - 1) & ~(huge - 1), to = end & ~(huge - 1);
    if (index.capacity() != was && to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)was;
#endif
}

}  // namespace

void File::addStandardIndexEntries(unsigned long k, std::uint32_t chunkId, const char* e, std::uint64_t n,
                                   std::uint64_t base) {
    char id[5];
    fourChars(chunkId, id);
    const Kind kind = kindOf(id);
    const bool videoStream = k == videoStreamNumber;
    // Entries of no stream add nothing; only the empty-frame test could still fail them.
    if (kind == Kind::None && !videoStream) return;
    std::vector<IndexEntry>* index = kind == Kind::Video ? &videoIndex : kind == Kind::Audio ? &audioIndex : nullptr;
    if (index != nullptr) reserveFor(*index, n);
    for (std::uint64_t i = 0; i < n; ++i, e += 8) {
        const std::uint32_t offset = char2uint32(e), size = char2uint32(e + 4);
        // The common entry goes straight in; the first of a stream, an empty or flagged
        // frame and entries of no stream take the full path with its checks.
        const bool plain = index != nullptr && !(videoStream && (size == 0 || size >= 0x7FFFFFFFu)) &&
                           (kind == Kind::Video ? videoFrameSize != 0 : paddedAudioChunkSize != 0);
        if (plain) {
            index->emplace_back(offset, size, base);
            continue;
        }
        addIndexEntry(k, chunkId, offset, size, base);
        if (errorCode != ERR_NONE) break;
    }
    if (kind == Kind::Video) totalFrames() = static_cast<std::uint32_t>(videoIndex.size());
}

void File::parseOpenDMLStandardIndex(unsigned long k, const aviindex_chunk& h, char* body, unsigned long length) {
    if (h.indexSubType != 0) {
        setError(ERR_UNSUPPORTED_INDEX_TYPE);
        return;
    }
    // body: base offset (8), reserved (4), then 8-byte entries that must all lie in the chunk.
    const std::uint64_t n = h.entriesInUse;
    if (length < 12 || (length - 12) / 8 < n) {
        setError(ERR_INVALID_INDEX);
        return;
    }
    addStandardIndexEntries(k, h.chunkId, body + 12, n, char2uint64(body));
}

void File::parseOpenDMLSuperIndex(unsigned long k, const aviindex_chunk& h, char* body, unsigned long length) {
    // body: reserved (12), then 16-byte entries that must all lie in the chunk.
    const std::uint64_t n = h.entriesInUse;
    if (length < 12 || (length - 12) / 16 < n) {
        setError(ERR_INVALID_INDEX);
        return;
    }
    const unsigned depth = indexDepth;
    // The chunks' sizes bound the entries they hold: the index vector grows once, by that
    // bound, when the file reaches as far as the chunks it names (8 bytes per entry).
    {
        std::uint64_t bound = 0, reach = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t pos = char2uint64(body + 12 + 16 * i);
            const std::uint32_t size = char2uint32(body + 12 + 16 * i + 8);
            bound += size >= 32 ? (size - 32) / 8 : 0;
            if (pos + size >= pos) reach = std::max(reach, pos + size);
        }
        char id[5];
        fourChars(h.chunkId, id);
        const Kind kind = kindOf(id);
        if (kind != Kind::None && bound != 0 && bound <= reach / 8 && fileExtendsTo(reach))
            reserveFor(kind == Kind::Video ? videoIndex : audioIndex, bound);
    }
    // Standard index chunks are read in blocks of this many bytes (whole entries, and the
    // 32 bytes of chunk and index headers), so no buffer the size of an index is needed.
    constexpr std::uint32_t BLOCK = 64 * 1024;
    std::unique_ptr<char[]> block;
    const char* e = body + 12;
    for (std::uint64_t i = 0; i < n; ++i, e += 16) {
        const std::uint64_t pos = char2uint64(e);
        const std::uint32_t size = char2uint32(e + 8);
        // A referenced chunk must hold at least its own header, and be read only once.
        if (size < 8 + INDEX_HEADER_SIZE || !visitedIndexChunks.insert(pos).second) {
            setError(ERR_INVALID_INDEX);
            return;
        }
        if (pos + size < pos || !fileExtendsTo(pos + size)) {
            setError(ERR_FREAD_FAILED);
            return;
        }
        fileHandler->setFilePos(fileHandle, pos);
        if (!block) block.reset(new char[BLOCK]);
        const std::uint32_t first = std::min(size, BLOCK);
        if (fileHandler->fread(block.get(), 1, first, fileHandle) != first) {
            setError(ERR_FREAD_FAILED);
            return;
        }
        const aviindex_chunk sub = parseOpenDMLBaseIndex(block.get() + 8);
        const bool standard = sub.indexType == 1 && sub.indexSubType == 0 && size >= 32 &&
                              (k == audioStreamNumber || k == videoStreamNumber);
        if (!standard) {
            // Anything else is decoded whole, by its own header.
            std::unique_ptr<char[]> chunk(new char[size]);
            std::memcpy(chunk.get(), block.get(), first);
            if (fileHandler->fread(chunk.get() + first, 1, size - first, fileHandle) != size - first) {
                setError(ERR_FREAD_FAILED);
                return;
            }
            parseStreamIndexAt(k, chunk.get() + 8, size - 8, depth + 1);
            if (errorCode != ERR_NONE) return;
            continue;
        }
        if ((size - 32) / 8 < sub.entriesInUse) {
            setError(ERR_INVALID_INDEX);
            return;
        }
        const std::uint64_t base = char2uint64(block.get() + 20);
        std::uint64_t left = sub.entriesInUse;
        std::uint32_t have = (first - 32) / 8;
        const char* entries = block.get() + 32;
        while (true) {
            const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, have));
            addStandardIndexEntries(k, sub.chunkId, entries, take, base);
            if (errorCode != ERR_NONE) return;
            left -= take;
            if (left == 0) break;
            const std::uint32_t bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(left * 8, BLOCK));
            if (fileHandler->fread(block.get(), 1, bytes, fileHandle) != bytes) {
                setError(ERR_FREAD_FAILED);
                return;
            }
            have = bytes / 8;
            entries = block.get();
        }
    }
}

void File::addIndexEntry(unsigned long k, std::uint32_t chunkId, unsigned int offset, unsigned int size,
                         unsigned long long base) {
    if (k == videoStreamNumber && (size == 0 || size >= 0x7FFFFFFFu)) {
        setError(ERR_EMPTY_VIDEO_CHUNK);
        return;
    }
    char id[5];
    fourChars(chunkId, id);
    addIndexEntry(id, offset, size, base);
}

void File::addIndexEntry(unsigned long k, const char* chunkId, unsigned int offset, unsigned int size,
                         unsigned long long base) {
    if (k == videoStreamNumber && size == 0) {
        setError(ERR_EMPTY_VIDEO_CHUNK);
        return;
    }
    addIndexEntry(chunkId, offset, size, base);
}

void File::addIndexEntry(std::uint32_t chunkId, unsigned int offset, unsigned int size, unsigned long long base) {
    char id[5];
    fourChars(chunkId, id);
    addIndexEntry(id, offset, size, base);
}

void File::addIndexEntry(const char* chunkId, unsigned int offset, unsigned int size, unsigned long long base) {
    switch (kindOf(chunkId)) {
        case Kind::Video:
            if (videoFrameSize == 0 && size != 0) {
                // The first frame's size sizes the reads and the row buffer of every frame: it
                // must be backed by the file before it is believed.
                if (!fileExtendsTo(base + offset + size)) {
                    setError(ERR_VIDEO_CHUNKS_MISSING);
                    return;
                }
                videoFrameSize = size;
            }
            videoIndex.emplace_back(offset, size, base);
            totalFrames() = static_cast<std::uint32_t>(videoIndex.size());
            break;
        case Kind::Audio:
            if (paddedAudioChunkSize == 0) paddedAudioChunkSize = size;
            audioIndex.emplace_back(offset, size, base);
            break;
        default:
            break;
    }
}

void File::parseLegacyIndex() {
    if (idx1Offset == 0) return;
    fileHandler->fseek(fileHandle, idx1Offset, 0);
    char c[4];
    if (fileHandler->fread(c, 1, 4, fileHandle) != 4) {
        setError(ERR_FREAD_FAILED);
        return;
    }
    const std::uint32_t length = fcns::getChunkLength(c);
    if (length < 16) {
        setError(ERR_INVALID_LEGACY_INDEX);
        return;
    }
    const std::uint32_t count = length / 16;
    const std::uint64_t start = static_cast<std::uint64_t>(idx1Offset) + 4;
    // A complete index is read with one read; a file cut short is read in blocks, so
    // a claimed size never sizes an allocation the file does not back.
    const bool whole = fileExtendsTo(start + 16ULL * count);
    const std::uint32_t block = whole ? count : std::min(count, LEGACY_BLOCK_ENTRIES);
    std::vector<char> buf(16ULL * block);
    std::uint32_t done = 0;
    while (done < count) {
        const std::uint32_t want = std::min(block, count - done);
        const std::size_t got = fileHandler->fread(buf.data(), 1, 16ULL * want, fileHandle);
        const std::uint32_t entries = static_cast<std::uint32_t>(got / 16);
        if (whole && done == 0 && entries == count) {
            std::size_t video = 0, audio = 0;
            for (std::uint32_t i = 0; i < entries; ++i) {
                const Kind kind = kindOf(buf.data() + 16ULL * i);
                video += kind == Kind::Video;
                audio += kind == Kind::Audio;
            }
            videoIndex.reserve(videoIndex.size() + video);
            audioIndex.reserve(audioIndex.size() + audio);
        }
        for (std::uint32_t i = 0; i < entries; ++i) {
            const char* e = buf.data() + 16ULL * i;
            const unsigned int stream = verifyValidStream(std::string(e, 2), audioStreamNumber, videoStreamNumber);
            if (stream == 256) continue;
            addIndexEntry(stream, char2uint32(e), char2uint32(e + 8) + 8u, char2uint32(e + 12), moviBase);
            if (errorCode != ERR_NONE) return;
        }
        if (entries != want) {
            setError(ERR_LEGACY_INDEX_PARSE);
            return;
        }
        done += entries;
    }
}

void File::buildLegacyIndex(const char* chunkId) {
    // No movi list was found: there is nothing to scan.
    if (moviBase < 4) return;
    if (fileHandler->setFilePos(fileHandle, moviBase - 4) != 0) {
        setError(ERR_SEEK_FAILED);
        return;
    }
    char c[8];
    if (fileHandler->fread(c, 1, 8, fileHandle) != 8) {
        setError(ERR_FREAD_FAILED);
        return;
    }
    const std::uint64_t end = moviBase + fcns::getChunkLength(c);
    const unsigned int stream = verifyValidStream(std::string(chunkId, 2), audioStreamNumber, videoStreamNumber);
    // Every step moves forward by at least a chunk header, so the scan always ends.
    while (fileHandler->getFilePos(fileHandle) < end) {
        if (fileHandler->fread(c, 1, 8, fileHandle) != 8) {
            setError(ERR_VIDEO_CHUNKS_MISSING);
            return;
        }
        const std::uint32_t len = fcns::getChunkLength(c + 4);
        if (std::memcmp(c, chunkId, 4) == 0) {
            const std::uint32_t position =
                boost::numeric_cast<std::uint32_t>(fileHandler->getFilePos(fileHandle) - moviBase);
            if (len == 0 && stream == videoStreamNumber)
                setError(ERR_EMPTY_VIDEO_CHUNK);
            else
                addIndexEntry(chunkId, position, len, moviBase);
            if (errorCode != ERR_NONE) return;
        }
        if (fileHandler->fseek(fileHandle, len, 1) != 0) {
            setError(ERR_SEEK_FAILED);
            return;
        }
    }
}

}  // namespace avi
