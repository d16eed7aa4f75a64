// .aut texts and the comparator's answer: label rewriting keeps every line of any text, and the
// flush alphabet and the last answer line are read from any bytes.
#include <algorithm>

#include "comparator.hpp"
#include "fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto normal = tolvern::comparator::tau_normalize(input);
    FUZZ_CHECK(std::count(normal.begin(), normal.end(), '\n') ==
               std::count(input.begin(), input.end(), '\n'));
    tolvern::comparator::extract_actions_containing(input);
    tolvern::comparator::parse_ltscompare(input);
    return 0;
}
