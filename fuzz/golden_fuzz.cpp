// The golden-file text helpers on two texts (the input split at its first NUL byte): difference
// lines, expected lines and verify normalisation take any bytes, and a text compared with itself
// shows no difference and misses nothing.
#include "category/golden.hpp"
#include "category/golden_internal.hpp"
#include "fuzz.hpp"

namespace golden = tolvern::category;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto [a, b] = fuzz::split_pair(input);
    golden::first_diff_line(a, b);
    FUZZ_CHECK(golden::first_diff_line(a, a) == "no line-level diff?");
    golden::missing_substrings(a, b);
    FUZZ_CHECK(golden::missing_substrings(a, a).empty());
    FUZZ_CHECK(golden::equal_but_trailing_newlines(a, b) ==
               golden::equal_but_trailing_newlines(b, a));

    auto verify = golden::normalize_verify(input);
    FUZZ_CHECK(!verify.ends_with('\n'));
    FUZZ_CHECK(golden::normalize_verify(verify) == verify);

    golden::judge_class_of(input);
    FUZZ_CHECK(!golden::text_ends_in_match(input) || golden::text_ends_in_verdict(input));
    return 0;
}
