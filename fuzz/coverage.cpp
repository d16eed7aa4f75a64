// The callbacks behind coverage.hpp. They run on every instrumented edge and on every memcmp of
// the process, so they touch fixed arrays only, allocate nothing and are not sanitized themselves.
#include "coverage.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#define NOT_SANITIZED __attribute__((no_sanitize("address,undefined")))

namespace {

constexpr std::size_t MAP_BITS = 16;
constexpr std::size_t MAP_SIZE = std::size_t{1} << MAP_BITS;

std::array<std::uint8_t, MAP_SIZE> counters;  // hits per edge in the current run
std::array<std::uint8_t, MAP_SIZE> seen;      // per edge, one bit for each hit-count bucket ever
std::uintptr_t previous = 0;
std::size_t seen_points = 0;

// Hit counts grouped 1, 2, 3, 4-7, 8-15, 16-31, 32-127, 128 and more: a loop that turns a few
// more times is nothing new, one that turns ten times more is.
std::uint8_t bucket(std::uint8_t count) {
    if (count >= 128) return 0x80;
    if (count >= 32) return 0x40;
    if (count >= 16) return 0x20;
    if (count >= 8) return 0x10;
    if (count >= 4) return 0x08;
    return static_cast<std::uint8_t>(1u << (count - 1));
}

struct Operand {
    std::size_t size = 0;
    std::array<char, 32> bytes{};
};
std::array<Operand, 128> operands;
std::size_t operands_written = 0;

NOT_SANITIZED void remember(const void* operand, std::size_t size) {
    if (size < 2 || size > Operand{}.bytes.size()) return;
    auto& slot = operands[operands_written++ % operands.size()];
    std::memcpy(slot.bytes.data(), operand, size);
    slot.size = size;
}

}  // namespace

// Edges rather than blocks: the block is hashed with the one before it.
extern "C" NOT_SANITIZED void __sanitizer_cov_trace_pc() {
    auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    auto index = ((pc ^ previous) * 0x9E3779B97F4A7C15u) >> (64 - MAP_BITS);
    auto& counter = counters[index];
    if (counter != 255) ++counter;
    previous = pc >> 1;
}

// Called by the sanitizers' memcmp after every comparison; a mismatch names bytes the code looks
// for, which make good material to splice into inputs.
extern "C" NOT_SANITIZED void __sanitizer_weak_hook_memcmp(void*, const void* s1, const void* s2,
                                                           std::size_t n, int result) {
    if (result == 0) return;
    remember(s1, n);
    remember(s2, n);
}

namespace fuzz::coverage {

void reset() {
    counters.fill(0);
    previous = 0;
}

bool merge_new() {
    bool found = false;
    for (std::size_t i = 0; i < MAP_SIZE; i += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, &counters[i], sizeof word);
        if (word == 0) continue;
        for (std::size_t j = i; j < i + sizeof word; ++j) {
            if (counters[j] == 0) continue;
            auto bit = bucket(counters[j]);
            if ((seen[j] & bit) != 0) continue;
            seen[j] |= bit;
            ++seen_points;
            found = true;
        }
    }
    return found;
}

std::size_t points() {
    return seen_points;
}

std::string_view recent_operand(std::size_t pick) {
    auto stored = std::min(operands_written, operands.size());
    if (stored == 0) return {};
    const auto& operand = operands[pick % stored];
    return {operand.bytes.data(), operand.size};
}

}  // namespace fuzz::coverage
