#include "messages.h"

#include <cstdio>

#include "progress.h"

namespace avitool {

std::string shown(std::string text) {
    for (std::size_t at = text.find("://"); at != std::string::npos; at = text.find("://", at + 3)) {
        const std::size_t host = at + 3;
        const std::size_t end = text.find_first_of("/?#'\" \t\n)", host);
        const std::size_t sign = text.rfind('@', end == std::string::npos ? text.size() : end);
        if (sign != std::string::npos && sign >= host) text.erase(host, sign + 1 - host);
    }
    return text;
}

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
