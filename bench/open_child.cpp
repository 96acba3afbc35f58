// One open of the file named by the argument, in a process of its own, for the benchmark's
// fresh-process figures: through the library, or (AVI_OPEN_WITH_LIBAVFORMAT) through
// libavformat. Each program links only what its side needs. Prints its peak resident set
// (VmHWM, kB); exit status 0 when the video index holds entries.
#include <cstdio>
#include <cstring>

#ifdef AVI_OPEN_WITH_LIBAVFORMAT
extern "C" {
#include <libavformat/avformat.h>
}
#else
#include "avi/File.h"
#endif

int main(int argc, char** argv) {
    if (argc != 2) return 2;
#ifdef AVI_OPEN_WITH_LIBAVFORMAT
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, argv[1], nullptr, nullptr) < 0) return 1;
    long long entries = 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            entries += avformat_index_get_entries_count(fmt->streams[i]);
    avformat_close_input(&fmt);
#else
    avi::File file;
    if (!file.open(argv[1], "r")) return 1;
    const long long entries = file.getVideoTotalFrames();
#endif
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr)
            if (std::strncmp(line, "VmHWM:", 6) == 0) std::fputs(line + 6, stdout);
        std::fclose(status);
    }
    return entries > 0 ? 0 : 1;
}
