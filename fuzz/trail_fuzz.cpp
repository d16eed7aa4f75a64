// Golden simulation texts: the eligible set and trail tokens are read from any bytes, neither
// holds a marker, and Windows line ends change neither.
#include <algorithm>
#include <string>

#include "category/eligible_internal.hpp"
#include "category/golden.hpp"
#include "category/repl_interactive_internal.hpp"
#include "fuzz.hpp"

namespace category = tolvern::category;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto crlf = fuzz::with_crlf(input);

    auto eligible = category::eligible_set_of(input);
    FUZZ_CHECK(!eligible.contains("<defer>"));
    FUZZ_CHECK(category::eligible_set_of(crlf) == eligible);

    auto tokens = category::text_trail_tokens(input);
    FUZZ_CHECK(std::none_of(tokens.begin(), tokens.end(), category::is_verdict_token));
    FUZZ_CHECK(category::text_trail_tokens(crlf) == tokens);
    return 0;
}
