#include "format/ChunkReader.h"

#include <algorithm>
#include <cstring>

#include "avi/fcns.h"
#include "format/ChunkId.h"

namespace avi::format {

Source::Source(IFileHandler& handler, void* handle) : handler_(&handler), handle_(handle) {
    if (handler.fseek(handle, 0, 2) == 0)
        size_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, handler.ftell(handle)));
}

Source::Source(const char* data, std::size_t size) : data_(data), size_(size) {}

std::size_t Source::read(std::uint64_t pos, void* out, std::size_t n) {
    if (pos >= size_) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - pos));
    if (n == 0) return 0;
    if (data_ != nullptr) {
        std::memcpy(out, data_ + pos, n);
        return n;
    }
    if (handler_->setFilePos(handle_, pos) != 0) return 0;
    return handler_->fread(out, 1, n, handle_);
}

bool Chunk::is(const char* four) const { return format::is(id, four); }

bool Chunk::isList(const char* formType) const {
    return (format::is(id, "LIST") || format::is(id, "RIFF")) && (formType == nullptr || format::is(form, formType));
}

const char* describe(Status s) {
    switch (s) {
        case Status::Ok:
            return "ok";
        case Status::End:
            return "end of list";
        case Status::ShortHeader:
            return "a chunk header cut short";
        case Status::Overrun:
            return "a chunk size that runs past its list";
        case Status::Cut:
            return "the file ends inside a chunk";
    }
    return "?";
}

ChunkReader::ChunkReader(Source& source, std::uint64_t begin, std::uint64_t end)
    : source_(&source), pos_(begin), end_(std::max(begin, end)) {}

Status ChunkReader::next(Chunk& c) {
    c = Chunk();
    c.offset = pos_;
    if (stopped_ || pos_ >= end_) return Status::End;
    char h[12] = {};
    const std::size_t got = end_ - pos_ < 8 ? 0 : source_->read(pos_, h, 12);
    if (got < 8) {
        stopped_ = true;
        return Status::ShortHeader;
    }
    std::memcpy(c.id, h, 4);
    c.size = fcns::char2uint32(h + 4);
    if (c.isList() && got == 12) std::memcpy(c.form, h + 8, 4);
    const Status s = c.dataEnd() > end_ ? Status::Overrun : c.dataEnd() > source_->size() ? Status::Cut : Status::Ok;
    if (s != Status::Ok) {
        stopped_ = true;
        return s;
    }
    pos_ = std::min(c.next(), end_);
    return Status::Ok;
}

ChunkReader ChunkReader::list(const Chunk& c) const {
    const std::uint64_t begin = c.data() + 4;
    return ChunkReader(*source_, begin, std::min(c.dataEnd(), end_));
}

std::size_t ChunkReader::read(const Chunk& c, void* out, std::size_t n) const {
    return source_->read(c.data(), out, static_cast<std::size_t>(std::min<std::uint64_t>(n, c.size)));
}

}  // namespace avi::format
