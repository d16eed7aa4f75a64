// Turns one input into a nearby one: bit flips, byte changes, inserts and deletions, copies
// within the input, splices with another corpus input, and tokens from the target's dictionary,
// from the comparisons the code made, or from a fixed list of awkward text bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace fuzz {

struct Mutator {
    std::mt19937_64 random;
    std::vector<std::string> dictionary;

    // Applies a few stacked mutations; the result is at most max_size bytes.
    void mutate(std::string& input, const std::vector<std::string>& corpus, std::size_t max_size);

    std::size_t below(std::size_t bound);
};

}  // namespace fuzz
