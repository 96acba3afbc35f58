#pragma once

#include <string>

// String conversions and the installation root, shared by the AVI library and its handlers.
//
// Narrow strings are UTF-8. Bytes that are not valid UTF-8 (possible in POSIX file names)
// survive a round trip through UTF-16 as lone surrogates U+DC80..U+DCFF, so any local path
// can be opened; conversions meant for display replace them with U+FFFD instead.

#define STRUTIL_API __attribute__((visibility("default")))

namespace strutil {
namespace i18n {

STRUTIL_API std::u16string utf8_to_utf16(const std::string& text);
// Valid UTF-8 for display; unpaired surrogates become U+FFFD.
STRUTIL_API std::string utf16_to_utf8(const std::u16string& text);
// Narrow (UTF-8) form of a UTF-16 string, escaped bytes restored.
STRUTIL_API std::string to_string(const std::u16string& text);

// UTF-16 to a named encoding; only "UTF-8" is known. With replaceInvalid, unpaired
// surrogates become U+FFFD; without, escaped bytes are restored as they were.
class STRUTIL_API codecvt_ustring_to_string {
public:
    codecvt_ustring_to_string(const std::string& encoding, bool replaceInvalid);
    std::string operator()(const std::u16string& text) const;

private:
    bool replaceInvalid_;
};

}  // namespace i18n

namespace filesystem {

// Narrow (UTF-8) to UTF-16. With escapeInvalid, invalid bytes are kept as U+DC80..U+DCFF;
// without, they become U+FFFD.
class STRUTIL_API codecvt_narrow_string_to_ustring {
public:
    explicit codecvt_narrow_string_to_ustring(bool escapeInvalid);
    std::u16string operator()(const std::string& text) const;

private:
    bool escapeInvalid_;
};

// The byte path to hand to the operating system for a UTF-16 path.
STRUTIL_API std::string u16_to_native_path(const std::u16string& path);

// Root of the tree this library was loaded from: the directory above its lib directory.
// Works alike for the build tree and an installed tree.
STRUTIL_API std::u16string get_install_path();

}  // namespace filesystem

namespace text {

// text with the "user:password@" of every URL in it removed, for messages and logs.
STRUTIL_API std::string without_credentials(std::string text);

}  // namespace text
}  // namespace strutil
