#pragma once
// The header list ("hdrl"): the main header and each stream list's header, format and
// OpenDML super index, read from the list's bytes whatever order or company they come in.

#include <cstdint>
#include <string>
#include <vector>

#include "avi/records.h"
#include "format/ChunkReader.h"

namespace avi::format {

struct StreamList {
    bool hasHeader = false;
    AVIStreamHeader header;
    std::uint64_t headerAt = 0;  // file offset of the "strh" data, 0 when there is none
    std::vector<char> format;    // "strf" data, as much as the list holds
    std::vector<char> index;     // "indx" data
    bool video() const { return hasHeader && std::string(header.fccType) == "vids"; }
    bool audio() const { return hasHeader && std::string(header.fccType) == "auds"; }
    // The video format: false when the "strf" is too short for a bitmap header. The palette
    // is what follows the header, whole entries only.
    bool bitmap(BitmapInfoHeader& b, std::vector<tagRGBQUAD>* palette = nullptr) const;
    // The audio format: false when the "strf" is too short for one.
    bool wave(WaveFormatEx& w) const;
};

struct HeaderList {
    bool hasMain = false;
    MainAVIHeader main;
    std::vector<StreamList> streams;  // in file order: the stream numbers
    bool damaged = false;             // a chunk ran past its list or the file
};

// Reads the header list whose data (behind its form type) is bytes[0, n), found at file
// offset at.
HeaderList readHeaderList(const char* bytes, std::size_t n, std::uint64_t at);

// What the top level of a file's first RIFF segment holds, and the segments that follow it.
struct TopLevel {
    bool riff = false;  // the file starts with a RIFF "AVI " header
    Chunk hdrl, movi, idx1;
    bool hasHdrl = false, hasMovi = false, hasIdx1 = false;
    bool cut = false;  // the file ends inside a segment or one of its lists
    // RIFF segments ("AVI " and "AVIX") one after the other from the start of the file:
    // the offsets of their headers.
    std::vector<std::uint64_t> segments;
    // Where the last segment ends, and whether what follows it starts with a chunk of a
    // stream or an index (a recording that went on past the sizes its last checkpoint wrote).
    std::uint64_t end = 0;
    bool goesOn = false;
};
// A segment or movi list whose size was never filled in (0, or -1 as ffmpeg leaves it in a
// killed recording) is taken to run to the end of the file; a list the file ends in is
// used as far as it goes. idx1 is noted only when the file holds all of it.
TopLevel readTopLevel(Source& in);
// The header list of top (read as far as the file holds it, and no further than 64 MiB).
HeaderList readHeaderList(Source& in, const TopLevel& top);

}  // namespace avi::format
