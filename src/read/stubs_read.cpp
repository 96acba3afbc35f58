// Placeholders until the real definitions land; each is removed as it is implemented.
#include "avi/File.h"

namespace avi {
void File::parseFile() {}
void File::parseMainHeader() {}
void File::parseStreamLists() {}
void File::parseStreamHeader(unsigned int, char*, unsigned long) {}
void File::parseStreamFormat(unsigned int, char*, unsigned long) {}
void File::parseAudioStreamFormat(char*, unsigned long) {}
void File::parseVideoStreamFormat(char*, unsigned long) {}
void File::assignClrmapIf2or4or8bitAVIwithNoClrmap() {}
unsigned int File::verifyValidStream(std::string, unsigned int, unsigned int) { return {}; }
void File::verifySupport() {}
void File::verifyIndex() {}
void File::errorIfWrongNumFrameForRGB24() {}
void File::parseStreamIndex(unsigned long, char*, unsigned long) {}
aviindex_chunk File::parseOpenDMLBaseIndex(char*) { return {}; }
void File::parseOpenDMLSuperIndex(unsigned long, const aviindex_chunk&, char*, unsigned long) {}
void File::parseOpenDMLStandardIndex(unsigned long, const aviindex_chunk&, char*, unsigned long) {}
void File::addIndexEntry(unsigned long, std::uint32_t, unsigned int, unsigned int, unsigned long long) {}
void File::addIndexEntry(unsigned long, const char*, unsigned int, unsigned int, unsigned long long) {}
void File::addIndexEntry(const char*, unsigned int, unsigned int, unsigned long long) {}
void File::addIndexEntry(std::uint32_t, unsigned int, unsigned int, unsigned long long) {}
void File::parseLegacyIndex() {}
void File::buildLegacyIndex(const char*) {}
void File::readVideoFrame(char*) {}
void File::readVideoFrame(char*, long long) {}
void File::readIndexedVideoFrame(char*, long long) {}
bool File::isEndOfVideo() { return {}; }
std::uint64_t File::getVideoFramesRead() const { return {}; }
void File::resetVideo() {}
std::uint32_t File::getVideoTotalFrames() const { return {}; }
bool File::isVideoCompressed() { return {}; }
std::uint32_t File::getRawVideoFrameSize(long long) { return {}; }
std::uint32_t File::getIndexedVideoFrameSize() { return {}; }
std::uint32_t File::getVideoWidth() const { return {}; }
std::uint32_t File::getVideoHeight() const { return {}; }
std::uint16_t File::getVideoBitsPerPixel() const { return {}; }
std::string File::getVideoFourCC() { return {}; }
std::uint32_t File::getVideoStreamRate() const { return {}; }
std::uint32_t File::getVideoStreamScale() const { return {}; }
double File::getVideoFrameRate() const { return {}; }
std::vector<tagRGBQUAD> File::getColormap() const { return {}; }
void File::readRGB24VideoFrame(char*) {}
void File::readRGB24VideoFrame(char*, long long) {}
std::uint32_t File::getRGB24VideoFrameSize() { return {}; }
std::uint32_t File::getIndexedPadLength() { return {}; }
std::uint32_t File::getRgb24PadLength() { return {}; }
std::uint32_t File::getRgb555PadLength() { return {}; }
void File::indexedToRgb24(char*) {}
void File::indexedToRgb24WPad(char*) {}
void File::rgb555ToRgb24(char*) {}
void File::rgb555ToRgb24WPad(char*) {}
void File::rgb32ToRgb24(char*) {}
void File::rgb32ToRgb24WPad(char*) {}
void File::readAudio(char*, unsigned long) {}
bool File::isAudioCompressed() const { return {}; }
bool File::isEndOfAudio() { return {}; }
std::uint64_t File::getAudioBytesRead() { return {}; }
std::uint32_t File::getAudioTotalBytes() { return {}; }
void File::resetAudio() {}
std::uint32_t File::getAudioChunkSize() { return {}; }
std::uint32_t File::getAudioSampleRate() { return {}; }
std::uint16_t File::getAudioBitsPerSample() { return {}; }
std::uint16_t File::getAudioNumberOfChannels() const { return {}; }
void File::parseStreamIndexAt(unsigned long, char*, unsigned long, unsigned) {}
}  // namespace avi
