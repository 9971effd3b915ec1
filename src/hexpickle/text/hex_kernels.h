// Hex kernels: bytes to lower-case hex digits, and the check and conversion back.
//
// Pure C++ with no Python dependency, so the kernels can be tested and fuzzed on their own.
// Each kernel has a portable table-driven version (namespace scalar) and, on x86-64, an SSE2
// version (the baseline of every x86-64 CPU) and an AVX2 one picked at run time. Defining
// HEXKERNELS_SCALAR_ONLY leaves only the portable versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__)) &&      \
    !defined(HEXKERNELS_SCALAR_ONLY)
#define HEXKERNELS_X86 1
#include <immintrin.h>
#endif

namespace hexkernels {

namespace scalar {

// kDigitPairs.chars[2 * b] and [2 * b + 1]: the two lower-case digits of byte b.
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

// kNibble.value[c]: the value of hex digit c, or kInvalid for any other byte. kInvalid has a
// bit that no digit value has, so OR-ing the lookups of a run of bytes tells if any is bad.
inline constexpr std::uint8_t kInvalid = 0x10;
struct NibbleTable {
    std::uint8_t value[256];
    constexpr NibbleTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = kInvalid;
        }
        for (int c = 0; c < 10; ++c) {
            value['0' + c] = static_cast<std::uint8_t>(c);
        }
        for (int c = 0; c < 6; ++c) {
            value['a' + c] = static_cast<std::uint8_t>(10 + c);
            value['A' + c] = static_cast<std::uint8_t>(10 + c);
        }
    }
};
inline constexpr NibbleTable kNibble{};

inline void encode(const std::uint8_t *src, std::size_t size, char *dst) {
    for (std::size_t i = 0; i < size; ++i) {
        std::memcpy(dst + 2 * i, &kDigitPairs.chars[2 * src[i]], 2);
    }
}

inline bool all_hex_digits(const char *src, std::size_t size) {
    // Blocks keep the inner loop free of a branch per byte and still stop early on bad input.
    constexpr std::size_t kBlock = 64;
    const auto *in = reinterpret_cast<const std::uint8_t *>(src);
    std::size_t i = 0;
    while (i < size) {
        const std::size_t end = size - i < kBlock ? size : i + kBlock;
        std::uint8_t seen = 0;
        for (; i < end; ++i) {
            seen |= kNibble.value[in[i]];
        }
        if (seen & kInvalid) {
            return false;
        }
    }
    return true;
}

inline void decode(const char *src, std::size_t size, std::uint8_t *dst) {
    const auto *in = reinterpret_cast<const std::uint8_t *>(src);
    for (std::size_t i = 0; i < size / 2; ++i) {
        dst[i] = static_cast<std::uint8_t>((kNibble.value[in[2 * i]] << 4) |
                                           (kNibble.value[in[2 * i + 1]] & 0x0f));
    }
}

} // namespace scalar

#if defined(HEXKERNELS_X86)

namespace sse2 {

// 0xff in each byte of c that is one of 0-9, a-f, A-F, else 0. Unsigned range tests are done
// as signed compares after moving the start of each range to -128.
inline __m128i digit_mask(__m128i c) {
    const __m128i from_zero = _mm_add_epi8(c, _mm_set1_epi8(static_cast<char>(0x80 - '0')));
    const __m128i is_decimal = _mm_cmpgt_epi8(_mm_set1_epi8(-128 + 10), from_zero);
    const __m128i lower = _mm_or_si128(c, _mm_set1_epi8(0x20));
    const __m128i from_a = _mm_add_epi8(lower, _mm_set1_epi8(static_cast<char>(0x80 - 'a')));
    const __m128i is_letter = _mm_cmpgt_epi8(_mm_set1_epi8(-128 + 6), from_a);
    return _mm_or_si128(is_decimal, is_letter);
}

// Values 0-15 of hex digits c: the low four bits, plus 9 for the letters (which lie above '9').
inline __m128i nibble_values(__m128i c) {
    const __m128i nine = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('9')), _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_and_si128(c, _mm_set1_epi8(0x0f)), nine);
}

// Digits '0'-'9', 'a'-'f' of nibble values n (0-15).
inline __m128i digits(__m128i n) {
    const __m128i letter =
        _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letter);
}

inline void encode(const std::uint8_t *src, std::size_t size, char *dst) {
    const __m128i low4 = _mm_set1_epi8(0x0f);
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        const __m128i high = digits(_mm_and_si128(_mm_srli_epi16(bytes, 4), low4));
        const __m128i low = digits(_mm_and_si128(bytes, low4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * i), _mm_unpacklo_epi8(high, low));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * i + 16),
                         _mm_unpackhi_epi8(high, low));
    }
    scalar::encode(src + i, size - i, dst + 2 * i);
}

inline bool all_hex_digits(const char *src, std::size_t size) {
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 16));
        if (_mm_movemask_epi8(_mm_and_si128(digit_mask(a), digit_mask(b))) != 0xffff) {
            return false;
        }
    }
    return scalar::all_hex_digits(src + i, size - i);
}

// Pairs (high, low) of nibble values, one per 16-bit lane, to bytes high * 16 + low in the
// low half of each lane.
inline __m128i join_pairs(__m128i values) {
    const __m128i high = _mm_and_si128(_mm_slli_epi16(values, 4), _mm_set1_epi16(0x00f0));
    return _mm_or_si128(high, _mm_srli_epi16(values, 8));
}

inline void decode(const char *src, std::size_t size, std::uint8_t *dst) {
    std::size_t i = 0; // bytes written
    for (; 2 * i + 32 <= size; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * i + 16));
        const __m128i bytes =
            _mm_packus_epi16(join_pairs(nibble_values(a)), join_pairs(nibble_values(b)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), bytes);
    }
    scalar::decode(src + 2 * i, size - 2 * i, dst + i);
}

} // namespace sse2

namespace avx2 {

#define HEXKERNELS_AVX2 __attribute__((target("avx2")))

HEXKERNELS_AVX2 inline __m256i digit_mask(__m256i c) {
    const __m256i from_zero = _mm256_add_epi8(c, _mm256_set1_epi8(static_cast<char>(0x80 - '0')));
    const __m256i is_decimal = _mm256_cmpgt_epi8(_mm256_set1_epi8(-128 + 10), from_zero);
    const __m256i lower = _mm256_or_si256(c, _mm256_set1_epi8(0x20));
    const __m256i from_a = _mm256_add_epi8(lower, _mm256_set1_epi8(static_cast<char>(0x80 - 'a')));
    const __m256i is_letter = _mm256_cmpgt_epi8(_mm256_set1_epi8(-128 + 6), from_a);
    return _mm256_or_si256(is_decimal, is_letter);
}

HEXKERNELS_AVX2 inline __m256i nibble_values(__m256i c) {
    const __m256i nine =
        _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8('9')), _mm256_set1_epi8(9));
    return _mm256_add_epi8(_mm256_and_si256(c, _mm256_set1_epi8(0x0f)), nine);
}

HEXKERNELS_AVX2 inline void encode(const std::uint8_t *src, std::size_t size, char *dst) {
    const __m256i digits = _mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a',
                                            'b', 'c', 'd', 'e', 'f', '0', '1', '2', '3', '4', '5',
                                            '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
    const __m256i low4 = _mm256_set1_epi8(0x0f);
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i));
        const __m256i high =
            _mm256_shuffle_epi8(digits, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low4));
        const __m256i low = _mm256_shuffle_epi8(digits, _mm256_and_si256(bytes, low4));
        // Unpacking works within 128-bit lanes: a holds bytes 0-7 and 16-23, b 8-15 and 24-31.
        const __m256i a = _mm256_unpacklo_epi8(high, low);
        const __m256i b = _mm256_unpackhi_epi8(high, low);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 2 * i),
                            _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 2 * i + 32),
                            _mm256_permute2x128_si256(a, b, 0x31));
    }
    sse2::encode(src + i, size - i, dst + 2 * i);
}

HEXKERNELS_AVX2 inline bool all_hex_digits(const char *src, std::size_t size) {
    std::size_t i = 0;
    for (; i + 64 <= size; i += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i + 32));
        if (_mm256_movemask_epi8(_mm256_and_si256(digit_mask(a), digit_mask(b))) != -1) {
            return false;
        }
    }
    return sse2::all_hex_digits(src + i, size - i);
}

HEXKERNELS_AVX2 inline void decode(const char *src, std::size_t size, std::uint8_t *dst) {
    // Multiply-add of each (high, low) pair with (16, 1) gives the byte in a 16-bit lane.
    const __m256i weights = _mm256_set1_epi16(0x0110);
    std::size_t i = 0; // bytes written
    for (; 2 * i + 64 <= size; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 2 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 2 * i + 32));
        const __m256i packed =
            _mm256_packus_epi16(_mm256_maddubs_epi16(nibble_values(a), weights),
                                _mm256_maddubs_epi16(nibble_values(b), weights));
        // Packing works within 128-bit lanes; put the four 8-byte groups back in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i),
                            _mm256_permute4x64_epi64(packed, 0xd8));
    }
    sse2::decode(src + 2 * i, size - 2 * i, dst + i);
}

#undef HEXKERNELS_AVX2

} // namespace avx2

inline bool cpu_has_avx2() {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2;
}

#endif // HEXKERNELS_X86

// Writes the 2 * size lower-case hex digits of src[0, size) to dst.
inline void encode(const std::uint8_t *src, std::size_t size, char *dst) {
#if defined(HEXKERNELS_X86)
    if (cpu_has_avx2()) {
        return avx2::encode(src, size, dst);
    }
    return sse2::encode(src, size, dst);
#else
    return scalar::encode(src, size, dst);
#endif
}

// True when every byte of src[0, size) is one of 0-9, a-f, A-F (the empty range included).
inline bool all_hex_digits(const char *src, std::size_t size) {
#if defined(HEXKERNELS_X86)
    if (cpu_has_avx2()) {
        return avx2::all_hex_digits(src, size);
    }
    return sse2::all_hex_digits(src, size);
#else
    return scalar::all_hex_digits(src, size);
#endif
}

// Converts the size / 2 digit pairs of src to bytes in dst. Every byte of src must be a hex
// digit (all_hex_digits) and size must be even; other input gives unspecified bytes but never
// reads or writes outside the two ranges.
inline void decode(const char *src, std::size_t size, std::uint8_t *dst) {
#if defined(HEXKERNELS_X86)
    if (cpu_has_avx2()) {
        return avx2::decode(src, size, dst);
    }
    return sse2::decode(src, size, dst);
#else
    return scalar::decode(src, size, dst);
#endif
}

} // namespace hexkernels
