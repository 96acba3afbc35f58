#pragma once
// The rows of an uncompressed frame: their padding to 4 bytes, and reversing them in place (a
// top-down frame made bottom-up, or the other way). Header-only, so that the local file
// handler, which reverses rows as it reads them, shares it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace avi::format {

// Bytes that pad a stored row of n bytes to a multiple of 4.
constexpr std::uint64_t rowPadding(std::uint64_t n) { return n % 4 == 0 ? 0 : 4 - n % 4; }
// A row of n bytes as it is stored: with its padding.
constexpr std::uint64_t paddedRow(std::uint64_t n) { return n + rowPadding(n); }
// Bytes per stored row of an uncompressed frame: width pixels of bits each, padded.
constexpr std::uint64_t rowStride(std::uint64_t width, unsigned bits) { return paddedRow((width * bits + 7) / 8); }

// Swaps n bytes at a and b, 64 at a time through registers.
inline void swapBytes(char* a, char* b, std::size_t n) {
    std::size_t k = 0;
    for (char t[64]; k + 64 <= n; k += 64) {
        std::memcpy(t, a + k, 64);
        std::memcpy(a + k, b + k, 64);
        std::memcpy(b + k, t, 64);
    }
    std::swap_ranges(a + k, a + n, b + k);
}

#if defined(__x86_64__) || defined(__i386__)
// The same with 32-byte registers, chosen at run time: the swap is bound by stores.
__attribute__((target("avx2"))) inline void swapBytesAvx2(char* a, char* b, std::size_t n) {
    std::size_t k = 0;
    for (; k + 64 <= n; k += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k + 32));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + k), b0);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + k + 32), b1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + k), a0);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + k + 32), a1);
    }
    std::swap_ranges(a + k, a + n, b + k);
}
#endif

// Swaps row i with row count - 1 - i.
inline void reverseRows(char* rows, std::size_t rowBytes, std::size_t count) {
    auto swap = swapBytes;
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2")) swap = swapBytesAvx2;
#endif
    for (std::size_t i = 0; i < count / 2; ++i) swap(rows + i * rowBytes, rows + (count - 1 - i) * rowBytes, rowBytes);
}

}  // namespace avi::format
