// .aut headers and the state-count budget (ours and gold split at the input's first NUL byte):
// counts are read from any header, and no LTS exceeds the budget of its own size at a factor
// of one or more.
#include <limits>
#include <optional>

#include "category/lts_internal.hpp"
#include "fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto [ours, gold] = fuzz::split_pair(input);
    tolvern::category::aut_states(input);
    constexpr double infinity = std::numeric_limits<double>::infinity();
    for (double factor : {1.0, 1.5, 1e300, infinity})
        FUZZ_CHECK(!tolvern::category::budget_excess(gold, gold, factor));
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::optional<double> factor :
         {std::optional<double>(), std::optional(0.5), std::optional(0.0), std::optional(-1.0),
          std::optional(nan), std::optional(-infinity)})
        tolvern::category::budget_excess(ours, gold, factor);
    return 0;
}
