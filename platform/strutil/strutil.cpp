#include "strutil/strutil.h"

#include <dlfcn.h>

#include <cctype>
#include <stdexcept>

#ifndef STRUTIL_LIBDIR
#define STRUTIL_LIBDIR "lib"
#endif

namespace strutil {
namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 if invalid.
std::size_t decodeUtf8(const std::string& s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::u16string narrowToU16(const std::string& text, bool escapeInvalid) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        const std::size_t len = decodeUtf8(text, i, cp);
        if (len == 0) {
            const auto b = static_cast<unsigned char>(text[i]);
            out.push_back(escapeInvalid ? static_cast<char16_t>(0xDC00 + b) : u'\uFFFD');
            ++i;
        } else {
            appendUtf16(out, cp);
            i += len;
        }
    }
    return out;
}

std::string u16ToNarrow(const std::u16string& text, bool replaceInvalid) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF && !replaceInvalid) {
            out.push_back(static_cast<char>(u - 0xDC00));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

// dladdr of an object private to this library names the file it was loaded from. The
// address of an exported function could instead be the canonical (PLT) address in an
// executable that takes it.
const char installAnchor = 0;

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

namespace i18n {

std::u16string utf8_to_utf16(const std::string& text) { return narrowToU16(text, true); }
std::string utf16_to_utf8(const std::u16string& text) { return u16ToNarrow(text, true); }
std::string to_string(const std::u16string& text) { return u16ToNarrow(text, false); }

codecvt_ustring_to_string::codecvt_ustring_to_string(const std::string& encoding, bool replaceInvalid)
    : replaceInvalid_(replaceInvalid) {
    std::string e;
    for (char c : encoding)
        if (c != '-' && c != '_') e.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (e != "UTF8") throw std::invalid_argument("unsupported encoding: " + encoding);
}

std::string codecvt_ustring_to_string::operator()(const std::u16string& text) const {
    return u16ToNarrow(text, replaceInvalid_);
}

}  // namespace i18n

namespace filesystem {

codecvt_narrow_string_to_ustring::codecvt_narrow_string_to_ustring(bool escapeInvalid)
    : escapeInvalid_(escapeInvalid) {}

std::u16string codecvt_narrow_string_to_ustring::operator()(const std::string& text) const {
    return narrowToU16(text, escapeInvalid_);
}

std::string u16_to_native_path(const std::u16string& path) { return u16ToNarrow(path, false); }

std::u16string get_install_path() {
    Dl_info info{};
    if (dladdr(static_cast<const void*>(&installAnchor), &info) == 0 || info.dli_fname == nullptr)
        return std::u16string();
    std::string dir = info.dli_fname;
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    // Strip the library directory (lib, or a multiarch lib/<triplet>) to reach the root.
    for (const std::string& suffix : {std::string("/") + STRUTIL_LIBDIR, std::string("/lib")}) {
        if (endsWith(dir, suffix)) {
            dir.resize(dir.size() - suffix.size());
            if (dir.empty()) dir = "/";
            return i18n::utf8_to_utf16(dir);
        }
    }
    const auto up = dir.rfind('/');
    if (up != std::string::npos) dir = up == 0 ? std::string("/") : dir.substr(0, up);
    return i18n::utf8_to_utf16(dir);
}

}  // namespace filesystem
namespace text {

std::string without_credentials(std::string text) {
    for (std::size_t at = text.find("://"); at != std::string::npos; at = text.find("://", at + 3)) {
        const std::size_t host = at + 3;
        // The authority ends at the path, query or fragment, or where the URL does in prose.
        const std::size_t end = text.find_first_of("/?#'\" \t\n)", host);
        const std::size_t sign = text.rfind('@', end == std::string::npos ? text.size() : end);
        if (sign != std::string::npos && sign >= host) text.erase(host, sign + 1 - host);
    }
    return text;
}

}  // namespace text
}  // namespace strutil
