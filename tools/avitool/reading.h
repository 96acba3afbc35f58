#pragma once
// Reading a file the two ways avitool offers: through the tolerant reader (the default:
// every frame exact, or an error that says why) and through the library's specified path
// (--strict), and what the second reads differently from the first.

#include <string>

#include "core/FileBridge.h"
#include "locations.h"
#include "salvage/TolerantReader.h"

namespace avitool {

// A recording cut short while it replaced NAME is NAME.part (create writes a new file under
// its own name). Given NAME, that is the file meant when it is newer than NAME or NAME is
// gone: the typed name with a notice on stderr; else name unchanged.
std::string recordingNamed(const std::string& name);

// Opens r on loc: a local file with its recovery side file, a URL through the plug-in.
// False with the reason in error.
bool openTolerant(salvage::TolerantReader& r, const Location& loc, std::string& error);

// Opens in for reading: f through the library's specified path when strict, else t through
// the tolerant reader. EXIT_OK, or EXIT_FAIL with the reason printed.
int openForReading(bool strict, const Location& in, avi::internal::FileBridge& f, salvage::TolerantReader& t);

// Whether the strict reader f (opened, or not) reads the bytes the tolerant reader t proved:
// "" when it does, else what differs, in one line.
std::string strictDifference(avi::internal::FileBridge& f, bool opened, const salvage::TolerantReader& t);

// Whether the video's geometry, as the library reads it, agrees with the frame size it
// reads, so that buffers sized from the getters hold every row walked; the reason otherwise.
bool checkGeometry(avi::File& f, std::uint64_t fileSize, std::string& error);

// The size of the file f has open.
std::uint64_t fileSize(avi::internal::FileBridge& f);

}  // namespace avitool
