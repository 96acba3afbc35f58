// The checkpointing writer: the layout and the order of writes are described in File.h,
// beside enableCheckpoints.
#include <algorithm>
#include <boost/numeric/conversion/cast.hpp>
#include <cstdio>
#include <cstring>

#include "avi/File.h"
#include "avi/WriteCapabilities.h"
#include "write/CheckpointState.h"
#include "write/Encoding.h"

namespace avi {

using namespace errors;
using fcns::putUint32;
using fcns::putUint64;

namespace {

const std::uint64_t SEGMENT_LIMIT = 1ULL << 31;

std::uint32_t u32(std::uint64_t v) { return static_cast<std::uint32_t>(v); }

// A handler over a byte vector: the header is rendered into it, then compared with the one
// on disk, so that only the bytes that changed are written.
class BufferHandler : public IFileHandler {
public:
    std::vector<char> bytes;
    std::uint64_t pos = 0;
    void* fopen(std::u16string, const char*) override { return this; }
    std::size_t fread(void*, std::size_t, std::size_t, void*) override { return 0; }
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void*) override {
        const std::size_t n = size * count;
        if (bytes.size() < pos + n) bytes.resize(static_cast<std::size_t>(pos + n));
        std::memcpy(bytes.data() + pos, buffer, n);
        pos += n;
        return count;
    }
    int fseek(void*, std::int64_t offset, int origin) override {
        pos = static_cast<std::uint64_t>((origin == 1 ? static_cast<std::int64_t>(pos) : 0) + offset);
        return 0;
    }
    std::int64_t ftell(void*) override { return static_cast<std::int64_t>(pos); }
    int fclose(void*) override { return 0; }
    std::uint64_t getFilePos(void*) override { return pos; }
    int setFilePos(void*, std::uint64_t p) override { return pos = p, 0; }
};

}  // namespace

std::vector<char> File::renderHeader() {
    auto buffer = std::make_shared<BufferHandler>();
    std::shared_ptr<IFileHandler> saved = fileHandler;
    void* savedHandle = fileHandle;
    fileHandler = buffer;
    fileHandle = buffer.get();
    writeHeader();
    fileHandler = saved;
    fileHandle = savedHandle;
    return std::move(buffer->bytes);
}

bool File::writeHeaderChanges() {
    CheckpointState& c = *checkpoints;
    std::vector<char> now = renderHeader();
    if (errorCode != ERR_NONE) return false;
    // The first header, or one whose last writing failed, goes out whole, in one write.
    bool ok = true;
    if (c.header.size() != now.size() || c.headerUnsure) {
        ok = writeAt(0, now.data(), now.size());
    } else {
        for (std::size_t i = 0; i < now.size() && ok;) {
            if (now[i] == c.header[i]) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < now.size() && now[j] != c.header[j]) ++j;
            ok = writeAt(i, now.data() + i, j - i);
            i = j;
        }
    }
    c.headerUnsure = !ok;
    if (ok) c.header = std::move(now);
    return ok;
}

void File::enableCheckpoints(double intervalSeconds) {
    if (mode != 1 || fileHandle == nullptr || writerHasData() || !(intervalSeconds >= 0)) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    checkpoints.reset(new CheckpointState);
    checkpoints->interval = intervalSeconds;
    checkpoints->last = std::chrono::steady_clock::now();
}

template <typename Steps>
bool File::succeeds(Steps steps) {
    // The error state keeps the last error a host has not cleared; whether these steps
    // failed is told apart from it.
    const errors::error_T before = errorCode;
    const std::string message = errorMsg;
    clearError();
    steps();
    if (errorCode != ERR_NONE) return false;
    errorCode = before;
    errorMsg = message;
    return true;
}

bool File::writeAt(std::uint64_t position, const void* data, std::size_t bytes) {
    if (!seekTo(position)) return false;
    if (fileHandler->fwrite(data, 1, bytes, fileHandle) == bytes) return true;
    setError(ERR_FWRITE_FAILED);
    return false;
}

bool File::syncData() {
    auto* sync = dynamic_cast<IDataSync*>(fileHandler.get());
    if (sync == nullptr || sync->syncData(fileHandle)) return true;
    setError(ERR_FWRITE_FAILED);
    return false;
}

bool File::openIndexRoom(int s) {
    CheckpointState& c = *checkpoints;
    auto& super = s == 0 ? videoSuperIndex : audioSuperIndex;
    if (super.size() >= std::max<std::uint64_t>(numSuperIndexEntries, 1)) {
        setError(ERR_UNSUPPORTED_FILE);
        return false;
    }
    const std::uint64_t at = fileHandler->getFilePos(fileHandle);
    const std::uint32_t k = c.nextCapacity[s];
    // The chunk header, the index header and the base offset; the entries' room is zeros.
    std::vector<char> b(32 + 8ULL * k, 0);
    char id[5];
    standardIndexId(id, s == 0 ? videoStreamNumber : audioStreamNumber);
    putChunkHeader(b.data(), id, 24 + 8 * k);
    aviindex_chunk h;
    populateOpenDMLBaseIndex(h, s == 0 ? videoChunkId : audioChunkId, 2, 1, 0);
    copyOpenDMLBaseIndex2Buf(h, b.data() + 8);
    putUint64(b.data() + 20, moviBase);
    if (fileHandler->fwrite(b.data(), 1, b.size(), fileHandle) != b.size()) {
        setError(ERR_FWRITE_FAILED);
        seekTo(at);  // the next try writes over what got out
        return false;
    }
    const std::size_t first = (s == 0 ? videoIndex : audioIndex).size();
    c.rooms[s].push_back({at, k, first, super.size()});
    super.emplace_back(at, u32(b.size()), 0);
    c.nextCapacity[s] = std::min(2 * k, CheckpointState::LARGEST_ROOM);
    return true;
}

bool File::prepareCheckpointedChunk(std::uint64_t chunkBytes, int s) {
    CheckpointState& c = *checkpoints;
    const auto& index = s == 0 ? videoIndex : audioIndex;
    const auto& rooms = c.rooms[s];
    bool needRoom = rooms.empty() || index.size() - rooms.back().first >= rooms.back().capacity;
    const std::uint64_t room = needRoom ? 32 + 8ULL * c.nextCapacity[s] : 0;
    // Past the chunk and its room the segment must still hold its idx1 (the first one).
    const std::uint64_t idx1 = c.firstSegment ? 8 + 16 * (videoIndex.size() + audioIndex.size() + 1) : 0;
    if (24 + 32 + 8ULL * CheckpointState::FIRST_ROOM + 8 + chunkBytes >= SEGMENT_LIMIT) {
        setError(ERR_UNSUPPORTED_FILE);
        return false;
    }
    const std::uint64_t pos = fileHandler->getFilePos(fileHandle);
    if (pos - c.segmentStart + room + 8 + chunkBytes + idx1 >= SEGMENT_LIMIT) {
        const auto slots = std::max<std::uint64_t>(numSuperIndexEntries, 1);
        if (videoSuperIndex.size() >= slots || audioSuperIndex.size() >= slots) {
            setError(ERR_UNSUPPORTED_FILE);
            return false;
        }
        if (!closeSegmentCheckpointed()) return false;
        // The next segment is a valid empty one from the start.
        const std::uint64_t start = fileHandler->getFilePos(fileHandle);
        char h[24];
        putChunkHeader(h, "RIFF", 16);
        std::memcpy(h + 8, "AVIX", 4);
        putChunkHeader(h + 12, "LIST", 4);
        std::memcpy(h + 20, "movi", 4);
        if (!writeAt(start, h, sizeof h)) return false;
        if (!c.firstSegment) c.closedAvixVideo += u32(videoIndex.size());
        c.firstSegment = false;
        c.segmentStart = start;
        moviBase = start + 20;
        videoIndex.clear();
        audioIndex.clear();
        c.rooms[0].clear();
        c.rooms[1].clear();
        c.nextCapacity[0] = c.nextCapacity[1] = CheckpointState::FIRST_ROOM;
        segmentMoviBytes = 0;
        needRoom = true;
    }
    return !needRoom || openIndexRoom(s);
}

bool File::closeSegmentCheckpointed() {
    if (!checkpoint()) return false;
    if (!checkpoints->firstSegment) return true;
    // The first segment ends with its idx1, behind its movi list; then its RIFF covers it.
    if (!succeeds([this] { writeLegacyIndex(); })) return false;
    const std::uint64_t end = fileHandler->getFilePos(fileHandle);
    char b[4];
    putUint32(b, u32(end - 8));
    if (!writeAt(4, b, 4) || !syncData()) return false;
    firstRiffEnd = u32(end);
    return seekTo(end);
}

void File::checkpointIfDue() {
    CheckpointState& c = *checkpoints;
    if (c.interval <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!c.headerWritten || std::chrono::duration<double>(now - c.last).count() >= c.interval) checkpoint();
}

bool File::checkpoint() {
    if (!checkpoints || mode != 1 || fileHandle == nullptr || !fileHandler) {
        setError(ERR_UNSUPPORTED_FILE);
        return false;
    }
    CheckpointState& c = *checkpoints;
    c.last = std::chrono::steady_clock::now();
    const std::uint64_t end = fileHandler->getFilePos(fileHandle);
    std::vector<IndexEntry>* indexes[2] = {&videoIndex, &audioIndex};
    std::vector<SuperIndexEntry>* supers[2] = {&videoSuperIndex, &audioSuperIndex};
    bool ok = true;
    // (1) The entries into the rooms, beyond the counts in use.
    for (int s = 0; s < 2 && ok; ++s) {
        for (auto& r : c.rooms[s]) {
            const auto n = u32(std::min<std::size_t>(r.capacity, indexes[s]->size() - r.first));
            if (n <= r.onDisk) continue;
            std::vector<char> b(8ULL * (n - r.onDisk));
            const IndexEntry* from = indexes[s]->data() + r.first;
            putStandardIndexEntries(b.data(), from + r.onDisk, from + n);
            if (!(ok = writeAt(r.offset + 32 + 8ULL * r.onDisk, b.data(), b.size()))) break;
            r.onDisk = n;
        }
    }
    // (2) All of it on the device before anything names it.
    ok = ok && syncData();
    // The durations the super-index entries of this segment's rooms will carry.
    for (int s = 0; s < 2 && ok; ++s) {
        const std::uint32_t sampleSize =
            streamHeaders[(s == 0 ? videoStreamNumber : audioStreamNumber) % MAX_STREAMS].dwSampleSize;
        for (const auto& r : c.rooms[s]) {
            std::uint64_t d = r.onDisk;
            if (s == 1 && sampleSize != 0) {
                d = 0;
                for (std::uint32_t i = 0; i < r.onDisk; ++i) d += (*indexes[s])[r.first + i].getSize();
                d /= sampleSize;
            }
            auto& e = (*supers[s])[r.slot];
            e = SuperIndexEntry(e.getPosition(), e.getSize(), u32(std::min<std::uint64_t>(d, 0xFFFFFFFFu)));
        }
    }
    if (ok && c.headerWritten) {
        // (3) The current segment's sizes cover the data.
        char b[4];
        putUint32(b, u32(end - c.segmentStart - 8));
        ok = writeAt(c.segmentStart + 4, b, 4);
        putUint32(b, u32(end - moviBase));
        ok = ok && writeAt(moviBase - 4, b, 4);
        // (4) This segment's super-index entries, new ones beyond the counts in use.
        for (int s = 0; s < 2 && ok; ++s) {
            if (c.rooms[s].empty()) continue;
            const std::size_t from = c.rooms[s].front().slot;
            std::vector<char> e(16 * (supers[s]->size() - from));
            putSuperIndexEntries(e.data(), supers[s]->data() + from, supers[s]->data() + supers[s]->size());
            ok = writeAt(c.superAt[s] + 32 + 16 * from, e.data(), e.size());
        }
    }
    // (5) The rooms' counts in use.
    for (int s = 0; s < 2 && ok; ++s) {
        for (auto& r : c.rooms[s]) {
            if (r.inUse == r.onDisk) continue;
            char b[4];
            putUint32(b, r.onDisk);
            if (!(ok = writeAt(r.offset + 12, b, 4))) break;
            r.inUse = r.onDisk;
        }
    }
    // (6) The super indexes' counts in use.
    for (int s = 0; s < 2 && ok && c.headerWritten; ++s) {
        if (!(s == 0 ? hasVideoStream : hasAudioStream)) continue;
        char b[4];
        putUint32(b, u32(supers[s]->size()));
        ok = writeAt(c.superAt[s] + 12, b, 4);
    }
    if (ok) {
        // (7) The counts, in a header that differs from the one on disk in them alone.
        if (c.firstSegment) {
            firstRiffVideoChunks = u32(videoIndex.size());
            firstRiffAudioChunks = u32(audioIndex.size());
            firstRiffEnd = u32(end);
            c.firstMoviEnd = end;
        } else {
            avixVideoChunks = c.closedAvixVideo + u32(videoIndex.size());
        }
        ok = succeeds([this] { writeHeaderChanges(); });
        c.headerWritten = c.headerWritten || ok;
        // (8)
        ok = ok && syncData();
    }
    return seekTo(end) && ok;
}

void File::writeSuperIndexRoom(int s) {
    CheckpointState& c = *checkpoints;
    const auto& entries = s == 0 ? videoSuperIndex : audioSuperIndex;
    const std::uint64_t slots = std::max<std::uint64_t>(numSuperIndexEntries, 1);
    c.superAt[s] = fileHandler->getFilePos(fileHandle);
    std::vector<char> b(32 + 16 * slots, 0);
    putChunkHeader(b.data(), "indx", boost::numeric_cast<std::uint32_t>(24 + 16 * slots));
    aviindex_chunk h;
    populateOpenDMLBaseIndex(h, s == 0 ? videoChunkId : audioChunkId, 4, 0, u32(entries.size()));
    copyOpenDMLBaseIndex2Buf(h, b.data() + 8);
    putSuperIndexEntries(b.data() + 32, entries.data(), entries.data() + entries.size());
    if (fileHandler->fwrite(b.data(), 1, b.size(), fileHandle) != b.size()) setError(ERR_FWRITE_FAILED);
}

}  // namespace avi
