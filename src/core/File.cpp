#include "avi/File.h"

#include <new>

#include "avi/LocalFileHandler.h"
#include "pluginkit/pluginkit.h"
#include "strutil/strutil.h"
#include "write/CheckpointState.h"
#include "write/Encoding.h"

namespace avi {
namespace {

std::u16string narrowToU16(const char* path) {
    const std::string narrow = path != nullptr ? std::string(path) : std::string();
    if (narrow.empty()) return std::u16string();
    return strutil::filesystem::codecvt_narrow_string_to_ustring(true)(narrow);
}

std::string u16ToUtf8(const std::u16string& path) {
    if (path.empty()) return std::string();
    return strutil::i18n::codecvt_ustring_to_string("UTF-8", true)(path);
}

bool isRemotePath(const std::u16string& path) {
    for (std::size_t i = 0; i + 1 < path.size(); ++i)
        if (path[i] == u':' && path[i + 1] == u'/') return true;
    return false;
}

}  // namespace

const long long File::INVALID_FRAME_INDEX;
const std::uint32_t File::DEFAULT_BITS_PER_PIXEL;
const unsigned File::MAX_INDEX_NESTING;

File::File() = default;

File::~File() {
    close();
    // The handler goes before the plug-in reference that made it.
    fileHandler.reset();
    pluginReference.reset();
}

bool File::hasVideo() const { return hasVideoStream; }
bool File::hasAudio() const { return hasAudioStream; }

// Every value in an AVI file is little-endian and so is every host this library runs on.
void File::byteSwapOnBigEndian(void*, std::uint32_t, std::uint32_t) {}

bool File::chooseHandler(const std::u16string& path) {
    if (isRemotePath(path)) {
        loadRemoteFileHandler();
        return static_cast<bool>(fileHandler);
    }
    fileHandler = std::make_shared<LocalFileHandler>();
    return true;
}

bool File::openToGetInformation(const char* path) { return openToGetInformation(narrowToU16(path)); }

bool File::openToGetInformation(std::u16string path) {
    fileName = u16ToUtf8(path);
    if (!chooseHandler(path)) return false;
    fileHandle = fileHandler->fopen(path, "rb");
    if (fileHandle == nullptr) {
        setError(errors::ERR_OPEN_FAILED);
        return false;
    }
    mode = 0;
    parseFile();
    return errorCode == errors::ERR_NONE;
}

bool File::open(const char* path, const char* openMode) { return open(narrowToU16(path), openMode); }

bool File::open(std::u16string path, const char* openMode) {
    const char m = openMode != nullptr ? openMode[0] : '\0';
    if (m == 'r') {
        if (!openToGetInformation(std::move(path))) return false;
        verifySupport();
        verifyIndex();
        if (topDown) {
            const std::uint32_t height = static_cast<std::uint32_t>(bitmapHeader.biHeight);
            const std::uint32_t row = height != 0 ? videoFrameSize / height : 0;
            rowBuffer.reset(new (std::nothrow) char[row != 0 ? row : 1]);
            if (!rowBuffer) {
                rowBufferSize = 0;
                setError(errors::ERR_OUT_OF_MEMORY);
                return false;
            }
            rowBufferSize = row;
        }
        if (hasVideoStream && hasAudioStream && videoIndex.empty() && audioIndex.empty()) {
            setError(errors::ERR_ALL_CHUNKS_MISSING);
            return false;
        }
        return true;
    }
    if (m == 'w') {
        mode = 1;
        fileName = u16ToUtf8(path);
        if (!chooseHandler(path)) return false;
        fileHandle = fileHandler->fopen(path, "wb");
        if (fileHandle == nullptr) {
            setError(errors::ERR_OPEN_FAILED);
            return false;
        }
        return true;
    }
    setError(errors::ERR_UNSUPPORTED_MODE);
    return false;
}

void File::close() {
    if (fileHandle == nullptr) return;
    if (mode != 1) {
        colormap.clear();
        if (topDown) {
            rowBuffer.reset();
            rowBufferSize = 0;
        }
    } else {
        if (hasAudioStream || hasVideoStream) {
            if (checkpoints) {
                closeSegmentCheckpointed();
            } else {
                closeCurRiffChunk();
                writeHeader();
            }
        }
        resetWriter();
    }
    fileHandler->fclose(fileHandle);
    fileHandle = nullptr;
    framesRead = 0;
}

bool File::fileExtendsTo(std::uint64_t end) {
    if (end == 0) return true;
    if (!fileHandler || fileHandle == nullptr) return false;
    const std::uint64_t saved = fileHandler->getFilePos(fileHandle);
    char byte;
    const bool ok =
        fileHandler->setFilePos(fileHandle, end - 1) == 0 && fileHandler->fread(&byte, 1, 1, fileHandle) == 1;
    fileHandler->setFilePos(fileHandle, saved);
    return ok;
}

void File::writeChunk(const char* id, std::uint32_t size) {
    // One 8-byte write: the id and the little-endian size go out together.
    char header[8];
    putChunkHeader(header, id, size);
    if (fileHandler->fwrite(header, 1, 8, fileHandle) != 8) setError(errors::ERR_FWRITE_FAILED);
}

void File::writeList(const char* id, std::uint32_t size, const char* type) {
    writeChunk(id, size);
    if (fileHandler->fwrite(type, 1, 4, fileHandle) != 4) setError(errors::ERR_FWRITE_FAILED);
}

}  // namespace avi
