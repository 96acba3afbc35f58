#pragma once
// The index verification of check and info: every entry the library loaded must point at a
// chunk header of its stream and size, or reads deliver wrong bytes without an error.
#include <cstdint>

#include "common.h"
#include "salvage/salvage.h"

namespace avitool {

class VerifyingInspector : public Inspector {
public:
    salvage::IndexCheck verifyIndex(std::uint64_t maxEntries = UINT64_MAX) {
        salvage::IndexCheck out;
        out.opened = true;
        salvage::verifyEntries(*fileHandler, fileHandle, videoIndex, videoStreamNumber, true, maxEntries, out);
        salvage::verifyEntries(*fileHandler, fileHandle, audioIndex, audioStreamNumber, false, maxEntries, out);
        return out;
    }
};

}  // namespace avitool
