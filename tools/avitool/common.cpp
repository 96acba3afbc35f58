#include "common.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace avitool {

int fail(const avi::File& f, const std::string& what) {
    std::fprintf(stderr, "avitool: %s: error %d: %s\n", what.c_str(), static_cast<int>(f.getErrorCode()),
                 f.getErrorMsg());
    return 1;
}
int fail(const std::string& message) {
    std::fprintf(stderr, "avitool: %s\n", message.c_str());
    return 1;
}

Progress::Progress(const char* label, std::uint64_t total) : label_(label), total_(total), on_(::isatty(2) == 1) {}

void Progress::update(std::uint64_t done) {
    if (!on_ || total_ == 0) return;
    const int pct = static_cast<int>(done * 100 / total_);
    if (pct == shown_) return;
    shown_ = pct;
    std::fprintf(stderr, "\r%s [%-40s] %3d%%", label_,
                 std::string(static_cast<std::size_t>(pct * 40 / 100), '#').c_str(), pct);
    if (done >= total_) std::fputc('\n', stderr);
}

void Inspector::inspect() {
    avi::IFileHandler& h = *fileHandler;
    if (h.fseek(fileHandle, 0, 2) == 0)
        fileSize = static_cast<std::uint64_t>(std::max<std::int64_t>(0, h.ftell(fileHandle)));
    bool indx = false;
    for (std::uint64_t pos = 0; pos + 12 <= fileSize && segments < 100000;) {
        char id[4], form[4];
        std::uint32_t size = 0;
        if (!header(pos, id, size, form) || std::memcmp(id, "RIFF", 4) != 0) break;
        if (segments++ == 0) indx = hasOpenDmlIndex(pos + 12, pos + 8 + size);
        pos += 8 + static_cast<std::uint64_t>(size) + (size & 1);
    }
    indexSource = indx ? "indx" : idx1Offset != 0 ? "idx1" : "movi scan";
}

bool Inspector::header(std::uint64_t pos, char* id, std::uint32_t& size, char* form) {
    char b[12];
    fileHandler->setFilePos(fileHandle, pos);
    if (fileHandler->fread(b, 1, 12, fileHandle) != 12) return false;
    std::memcpy(id, b, 4);
    size = avi::fcns::char2uint32(b + 4);
    std::memcpy(form, b + 8, 4);
    return true;
}

bool Inspector::hasOpenDmlIndex(std::uint64_t from, std::uint64_t to, int depth) {
    char id[4], form[4];
    std::uint32_t size = 0;
    for (std::uint64_t pos = from; pos + 8 <= to && pos + 8 <= fileSize && header(pos, id, size, form);
         pos += 8 + static_cast<std::uint64_t>(size) + (size & 1)) {
        if (std::memcmp(id, "indx", 4) == 0) return true;
        const bool descend =
            std::memcmp(id, "LIST", 4) == 0 && (std::memcmp(form, "hdrl", 4) == 0 || std::memcmp(form, "strl", 4) == 0);
        if (descend && depth < 2 && hasOpenDmlIndex(pos + 12, pos + 8 + size, depth + 1)) return true;
    }
    return false;
}

}  // namespace avitool
