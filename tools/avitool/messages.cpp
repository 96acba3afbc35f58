#include "messages.h"

#include <cstdio>
#include <utility>

#include "progress.h"
#include "strutil/strutil.h"

namespace avitool {

std::string shown(std::string text) { return strutil::text::without_credentials(std::move(text)); }

int fail(const std::string& message) {
    Progress::breakLine();
    std::fprintf(stderr, "avitool: %s\n", shown(message).c_str());
    return EXIT_FAIL;
}

std::string errorText(const avi::File& f) {
    std::string text = "error " + std::to_string(f.getErrorCode()) + ": " + f.getErrorMsg();
    if (f.getErrorCode() == avi::errors::ERR_EMPTY_VIDEO_CHUNK)
        text +=
            " (an empty video chunk, as a dropped frame is stored; avitool repair stores the frame before "
            "in its place)";
    return text;
}

}  // namespace avitool
