// Checks every kernel version this CPU can run against a plain reference, on every length up
// to a few vector widths past the widest loop, with every byte value in several positions.
#include "hex_kernels.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

struct Kernels {
    const char *name;
    void (*encode)(const std::uint8_t *, std::size_t, char *);
    bool (*all_hex_digits)(const char *, std::size_t);
    void (*decode)(const char *, std::size_t, std::uint8_t *);
};

std::vector<Kernels> runnable_kernels() {
    std::vector<Kernels> kernels{
        {"scalar", hexkernels::scalar::encode, hexkernels::scalar::all_hex_digits,
         hexkernels::scalar::decode},
        {"dispatch", hexkernels::encode, hexkernels::all_hex_digits, hexkernels::decode}};
#if defined(HEXKERNELS_X86)
    kernels.push_back({"sse2", hexkernels::sse2::encode, hexkernels::sse2::all_hex_digits,
                       hexkernels::sse2::decode});
    if (hexkernels::cpu_has_avx2()) {
        kernels.push_back({"avx2", hexkernels::avx2::encode, hexkernels::avx2::all_hex_digits,
                           hexkernels::avx2::decode});
    }
#endif
    return kernels;
}

bool is_digit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int value_of(unsigned char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

long checks = 0;
long failures = 0;

void expect(bool ok, const char *kernel, const char *what, std::size_t size) {
    ++checks;
    if (!ok && ++failures <= 20) {
        std::fprintf(stderr, "FAIL %s %s size %zu\n", kernel, what, size);
    }
}

} // namespace

int main() {
    const auto kernels = runnable_kernels();
    std::mt19937 rng(12345);
    const char digits[] = "0123456789abcdefABCDEF";
    constexpr std::size_t kMaxSize = 700;

    for (std::size_t size = 0; size <= kMaxSize; ++size) {
        std::vector<std::uint8_t> bytes(size);
        for (auto &b : bytes) {
            b = static_cast<std::uint8_t>(rng());
        }
        std::string expected_text;
        for (auto b : bytes) {
            expected_text += "0123456789abcdef"[b >> 4];
            expected_text += "0123456789abcdef"[b & 15];
        }
        // Mixed-case text of the same bytes, as a reader must accept.
        std::string mixed = expected_text;
        for (auto &c : mixed) {
            if (c >= 'a' && (rng() & 1)) {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        for (const auto &k : kernels) {
            // One spare byte on each side catches writes past the range.
            std::string text(2 * size + 2, '#');
            k.encode(bytes.data(), size, &text[1]);
            expect(text == "#" + expected_text + "#", k.name, "encode", size);

            expect(k.all_hex_digits(mixed.data(), mixed.size()), k.name, "check good", size);
            std::vector<std::uint8_t> out(size + 2, 0x5a);
            k.decode(mixed.data(), mixed.size(), &out[1]);
            expect(std::vector<std::uint8_t>(out.begin() + 1, out.end() - 1) == bytes &&
                       out.front() == 0x5a && out.back() == 0x5a,
                   k.name, "decode", size);
        }
        // Every byte value, at the first, a middle and the last position of an odd-sized and
        // an even-sized text: accepted exactly when it is a digit.
        for (std::size_t text_size : {size, size + 1}) {
            if (text_size == 0) {
                continue;
            }
            std::string text(text_size, '0');
            for (auto &c : text) {
                c = digits[rng() % 22];
            }
            for (std::size_t position : {std::size_t{0}, text_size / 2, text_size - 1}) {
                for (int value = 0; value < 256; ++value) {
                    std::string probe = text;
                    probe[position] = static_cast<char>(value);
                    const bool expected = is_digit(static_cast<unsigned char>(value));
                    for (const auto &k : kernels) {
                        expect(k.all_hex_digits(probe.data(), probe.size()) == expected, k.name,
                               "check byte", text_size);
                    }
                }
            }
        }
    }
    // decode of every digit pair.
    std::string pairs;
    std::vector<std::uint8_t> expected;
    for (unsigned char high : std::string(digits)) {
        for (unsigned char low : std::string(digits)) {
            pairs += static_cast<char>(high);
            pairs += static_cast<char>(low);
            expected.push_back(static_cast<std::uint8_t>(16 * value_of(high) + value_of(low)));
        }
    }
    for (const auto &k : kernels) {
        std::vector<std::uint8_t> out(expected.size());
        k.decode(pairs.data(), pairs.size(), out.data());
        expect(out == expected, k.name, "decode pairs", pairs.size());
    }

    std::printf("kernels:");
    for (const auto &k : kernels) {
        std::printf(" %s", k.name);
    }
    std::printf("\n%ld passed, %ld failed\n", checks - failures, failures);
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
