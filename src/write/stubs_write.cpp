// Placeholders until the real definitions land; each is removed as it is implemented.
#include "avi/File.h"

namespace avi {
void File::setVideoInfo(unsigned int, unsigned int, double) {}
void File::setVideoInfo(unsigned int, unsigned int, double, const std::string&) {}
void File::setVideoInfo(unsigned int, unsigned int, double, const std::string&, unsigned int) {}
void File::setAudioInfo(double, unsigned int, unsigned int, unsigned int) {}
void File::setColormap(const std::vector<tagRGBQUAD>&) {}
void File::setNumSuperIndexEntries(unsigned long) {}
void File::initWriter() {}
void File::resetWriter() {}
void File::writeVideoFrame(const char*) {}
void File::writeVideoFrame(const char*, unsigned int) {}
void File::writeAudio(const char*) {}
void File::writeMoviEntry(const char*, unsigned int, unsigned int, const char*, std::vector<IndexEntry>&) {}
void File::convertFrameToBottomUp(char*) {}
void File::writeHeader() {}
void File::writeVideoStreamHeader() {}
void File::writeAudioStreamHeader() {}
void File::writeOpenDMLHeader() {}
std::uint32_t File::getHeaderLength() { return {}; }
std::uint32_t File::getMoviLength() { return {}; }
std::uint32_t File::getStrlLength(unsigned char, unsigned int, unsigned long) { return {}; }
std::uint32_t File::getOpenDMLHeaderLength() { return {}; }
void File::populateMainHeader() {}
void File::populateVideoStreamHeader() {}
void File::populateAudioStreamHeader() {}
void File::populateBitmapHeader() {}
void File::populateWaveHeader() {}
void File::copyMainHeader2Buf(char*) {}
void File::copyStreamHeader2Buf(char*, unsigned int) {}
void File::copyBitmapHeader2Buf(char*) {}
void File::copyWaveHeader2Buf(char*) {}
bool File::isFirstRiffChunk() { return {}; }
std::uint32_t File::getCurRiffChunkSize() { return {}; }
bool File::atRiffBoundary(unsigned long) { return {}; }
void File::updateRiffChunk(unsigned long) {}
void File::closeCurRiffChunk() {}
void File::writeAVIXChunk() {}
void File::populateOpenDMLBaseIndex(aviindex_chunk&, const char*, unsigned short, unsigned char, unsigned int) {}
void File::copyOpenDMLBaseIndex2Buf(const aviindex_chunk&, char*) {}
void File::writeOpenDMLBaseIndex(const char*, unsigned short, unsigned char, unsigned int) {}
void File::writeOpenDMLSuperIndex(const char*, const std::vector<SuperIndexEntry>&) {}
std::uint32_t File::getOpenDMLSuperIndexLength(unsigned long) { return {}; }
void File::writeOpenDMLStandardIndex(const char*, unsigned int, const std::vector<IndexEntry>&, std::vector<SuperIndexEntry>&) {}
std::uint32_t File::getOpenDMLStandardIndexLength(unsigned long) { return {}; }
void File::writeLegacyIndex() {}
std::uint32_t File::getLegacyIndexLength() { return {}; }
bool File::ensureRowBuffer(std::uint32_t) { return false; }
}  // namespace avi
