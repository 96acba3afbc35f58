#include <cstdio>

#include "avi/File.h"

namespace avi {
namespace {

// Fixed messages of codes 4 to 43 and 45; null where the code composes its message or
// has none of its own.
const char* const FIXED_MESSAGES[] = {
    nullptr,                                                                             // 0
    nullptr,                                                                             // 1
    nullptr,                                                                             // 2
    nullptr,                                                                             // 3
    "Seek operation failed",                                                             // 4
    "Fread operation failed",                                                            // 5
    "Fwrite operation failed",                                                           // 6
    "getFilePos operation failed",                                                       // 7
    "setFilePos operation failed",                                                       // 8
    "Number of frames reported in the AVI header does not match number of ##db chunks",  // 9
    "Corrupted file: audio chunks are missing",                                          // 10
    "Corrupted file: video chunks are missing",                                          // 11
    "Corrupted file: both audio and video chunks are missing",                           // 12
    "Corrupted file: main AVI header information is missing",                            // 13
    "Corrupted file: stream list is missing",                                            // 14
    "Encountered unexpected length of strl chunk",                                       // 15
    "Corrupted file: stream headers is missing",                                         // 16
    "Unable to read audio format header",                                                // 17
    "Unable to read video frame format header",                                          // 18
    "Unsupported bitmap header found",                                                   // 19
    "Unsupported main header found",                                                     // 20
    "Unsupported audio format header found",                                             // 21
    "Failed to read AVI colormap",                                                       // 22
    "Cannot set colormap during read",                                                   // 23
    "Colormap required to write this file",                                              // 24
    "Cannot over-write a non-empty colormap",                                            // 25
    "Colormap can only have maximum of 256 entries",                                     // 26
    "Out of memory",                                                                     // 27
    nullptr,                                                                             // 28
    "Interleaved AVI files are not supported",                                           // 29
    "Unsupported audio stream.Audio must be 8 or 16 bits",                               // 30
    "AVI files that require use of internal index are not supported",                    // 31
    "Compressed video streams are not supported",                                        // 32
    "Compressed audio streams are not supported",                                        // 33
    "Unsupported read/write mode",                                                       // 34
    "Invalid Legacy Index",                                                              // 35
    "Error parsing the legacy index",                                                    // 36
    "Unsupported AVI index type",                                                        // 37
    "Invalid AVI index",                                                                 // 38
    "Invalid Index Offset Calculated",                                                   // 39
    "Unsupported AVI file",                                                              // 40
    "Invalid number of frames",                                                          // 41
    "Invalid value for Bits Per Pixel",                                                  // 42
    "WAVE files are only supported on Windows platforms.",                               // 43
    nullptr,                                                                             // 44
    "Read attempted for a video that is not indexed",                                    // 45
};
constexpr std::uint32_t FIXED_COUNT = sizeof(FIXED_MESSAGES) / sizeof(FIXED_MESSAGES[0]);

}  // namespace

void File::setError(errors::error_T code) {
    errorCode = code;
    const std::uint32_t c = code;
    switch (c) {
        case errors::ERR_RIFF_CHUNK_MISSING:
            errorMsg = "'" + fileName + "' is not a valid AVI file (RIFF chunk is missing)";
            return;
        case errors::ERR_AVI_CHUNK_MISSING:
            errorMsg = "'" + fileName + "' is not a valid AVI file (AVI chunk is missing)";
            return;
        case errors::ERR_OPEN_FAILED:
            errorMsg = "Unable to open AVI file ('" + fileName + "')";
            return;
        case errors::ERR_TOO_MANY_STREAMS:
            errorMsg = "AVI files with more than " + std::to_string(MAX_STREAMS) + " streams are not supported";
            return;
        default:
            break;
    }
    if (c < FIXED_COUNT && FIXED_MESSAGES[c] != nullptr) {
        errorMsg = FIXED_MESSAGES[c];
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "Unknown error (%x)", static_cast<unsigned>(c));
    errorMsg = text;
}

errors::error_T File::getErrorCode() const { return errorCode; }

const char* File::getErrorMsg() const { return errorMsg.c_str(); }

void File::clearError() {
    errorCode = errors::ERR_NONE;
    errorMsg.clear();
}

}  // namespace avi
