#pragma once
// Frame rates as people type them: "30000/1001", "25" or "29.97". Every option and every
// component that takes a rate as text reads it here, so that they all accept the same.
// Header-only: the Python module and the tools share it without a library of their own.

#include <cstdint>
#include <numeric>
#include <string>

namespace avi::format {

namespace rate_detail {
// Up to ten decimal digits: the most a 32-bit field takes.
inline bool digits(const std::string& s, std::size_t most = 10) {
    return !s.empty() && s.size() <= most && s.find_first_not_of("0123456789") == std::string::npos;
}
}  // namespace rate_detail

// text as an exact fraction in lowest terms (29.97 as 2997/100). False for anything else:
// signs, spaces, exponents, more than six decimals, a zero rate, or a part beyond 32 bits.
inline bool parseRate(const std::string& text, std::uint32_t& num, std::uint32_t& den) {
    using rate_detail::digits;
    std::uint64_t n = 0, d = 1;
    const std::size_t slash = text.find('/'), dot = text.find('.');
    if (slash != std::string::npos) {
        const std::string a = text.substr(0, slash), b = text.substr(slash + 1);
        if (!digits(a) || !digits(b)) return false;
        n = std::stoull(a);
        d = std::stoull(b);
    } else if (dot != std::string::npos) {
        const std::string a = text.substr(0, dot), b = text.substr(dot + 1);
        if ((!a.empty() && !digits(a)) || !digits(b, 6)) return false;
        for (std::size_t i = 0; i < b.size(); ++i) d *= 10;
        n = (a.empty() ? 0 : std::stoull(a)) * d + std::stoull(b);
    } else {
        if (!digits(text)) return false;
        n = std::stoull(text);
    }
    if (n == 0 || d == 0) return false;
    const std::uint64_t g = std::gcd(n, d);
    n /= g;
    d /= g;
    if (n > 0xFFFFFFFFu || d > 0xFFFFFFFFu) return false;
    num = static_cast<std::uint32_t>(n);
    den = static_cast<std::uint32_t>(d);
    return true;
}

}  // namespace avi::format
