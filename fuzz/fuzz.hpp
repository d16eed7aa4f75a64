// What the harnesses share: the libFuzzer entry point, a check that ends the run with a message
// when an invariant is broken (libFuzzer then saves the input as a crash file), and the split of
// one input into the two texts that some functions compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#define FUZZ_CHECK(condition) \
    ((condition) ? void() : ::fuzz::invariant_broken(#condition, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void invariant_broken(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "fuzz: invariant broken at %s:%d: %s\n", file, line, condition);
    std::abort();
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The text before the first NUL byte and the text after it (empty when there is no NUL).
inline std::pair<std::string_view, std::string_view> split_pair(std::string_view input) {
    auto nul = input.find('\0');
    if (nul == std::string_view::npos) return {input, {}};
    return {input.substr(0, nul), input.substr(nul + 1)};
}

// The text as a Windows file would hold it: "\r" added before every "\n" that has none.
inline std::string with_crlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

}  // namespace fuzz
