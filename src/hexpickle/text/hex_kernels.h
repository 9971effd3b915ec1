// Hex kernels: bytes to lower-case hex digits, and the check and conversion back.
// Pure C++ with no Python dependency, so the kernels can be tested and fuzzed on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hexkernels {

namespace detail {

// kDigitPairs[2 * b], kDigitPairs[2 * b + 1]: the two lower-case digits of byte b.
struct DigitPairs {
    char chars[512];
    constexpr DigitPairs() : chars() {
        constexpr char digits[] = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            chars[2 * b] = digits[b >> 4];
            chars[2 * b + 1] = digits[b & 15];
        }
    }
};
inline constexpr DigitPairs kDigitPairs{};

// kNibble[c]: the value of hex digit c, or kInvalid for any other byte.
// kInvalid has a bit that no digit value has, so OR-ing lookups detects any bad byte.
inline constexpr std::uint8_t kInvalid = 0x10;
struct NibbleTable {
    std::uint8_t value[256];
    constexpr NibbleTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = kInvalid;
        }
        for (int c = '0'; c <= '9'; ++c) {
            value[c] = static_cast<std::uint8_t>(c - '0');
        }
        for (int c = 'a'; c <= 'f'; ++c) {
            value[c] = static_cast<std::uint8_t>(c - 'a' + 10);
            value[c - 'a' + 'A'] = static_cast<std::uint8_t>(c - 'a' + 10);
        }
    }
};
inline constexpr NibbleTable kNibble{};

} // namespace detail

// Writes the 2 * size lower-case hex digits of src[0, size) to dst.
inline void encode(const std::uint8_t *src, std::size_t size, char *dst) {
    for (std::size_t i = 0; i < size; ++i) {
        std::memcpy(dst + 2 * i, &detail::kDigitPairs.chars[2 * src[i]], 2);
    }
}

// True when every byte of src[0, size) is one of 0-9, a-f, A-F (the empty range included).
inline bool all_hex_digits(const char *src, std::size_t size) {
    // Blocks keep the loop free of a branch per byte while still stopping early on bad input.
    constexpr std::size_t kBlock = 64;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t end = size - i < kBlock ? size : i + kBlock;
        std::uint8_t seen = 0;
        for (; i < end; ++i) {
            seen |= detail::kNibble.value[static_cast<std::uint8_t>(src[i])];
        }
        if (seen & detail::kInvalid) {
            return false;
        }
    }
    return true;
}

// Converts the size / 2 digit pairs of src to bytes in dst. src must hold only hex digits
// (all_hex_digits) and size must be even; other input gives unspecified bytes, never a fault.
inline void decode(const char *src, std::size_t size, std::uint8_t *dst) {
    const auto *in = reinterpret_cast<const std::uint8_t *>(src);
    for (std::size_t i = 0; i < size / 2; ++i) {
        dst[i] = static_cast<std::uint8_t>((detail::kNibble.value[in[2 * i]] << 4)
                                           | (detail::kNibble.value[in[2 * i + 1]] & 0x0f));
    }
}

} // namespace hexkernels
