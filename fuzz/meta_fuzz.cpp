// META files from the corpus: any bytes parse to settings, a file reads the same with Windows
// line ends, and single keys are looked up in any line.
#include <cmath>
#include <string>

#include "fuzz.hpp"
#include "meta.hpp"

namespace {

using tolvern::meta::MetaConfig;

// Equal settings, a not-a-number factor counting as equal to itself.
bool same(const MetaConfig& a, const MetaConfig& b) {
    auto factors_equal = a.max_state_factor && b.max_state_factor && std::isnan(*a.max_state_factor)
                             ? std::isnan(*b.max_state_factor)
                             : a.max_state_factor == b.max_state_factor;
    return factors_equal && a.queue_size == b.queue_size &&
           a.queue_size_defer == b.queue_size_defer &&
           a.queue_size_external == b.queue_size_external && a.skip_wfc == b.skip_wfc &&
           a.flush == b.flush;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto config = MetaConfig::parse(input);
    auto crlf = fuzz::with_crlf(input);
    FUZZ_CHECK(same(config, MetaConfig::parse(crlf)));

    auto [key, line] = fuzz::split_pair(input);
    tolvern::meta::find_pair(key, line);
    tolvern::meta::find_flag(key, line);
    return 0;
}
