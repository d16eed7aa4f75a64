// The shared text helpers on any bytes: lossy UTF-8 is always valid and leaves valid text alone,
// lines and pieces hold what they should, decimals read back, the trace-name order is a
// consistent comparison, and the diagnostic line of a standard error is one line.
#include <string>

#include "category/common.hpp"
#include "category/repl_records.hpp"
#include "category/traces.hpp"
#include "fuzz.hpp"
#include "text.hpp"

namespace text = tolvern::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto lossy = text::lossy_utf8(input);
    FUZZ_CHECK(text::is_valid_utf8(lossy));
    FUZZ_CHECK(!text::is_valid_utf8(input) || lossy == input);

    auto lines = text::split_lines(input);
    for (auto line : lines) FUZZ_CHECK(line.find('\n') == std::string_view::npos);
    FUZZ_CHECK(input.empty() || text::first_line(input) == lines.front());
    std::string joined;
    for (auto piece : text::split(input, ',')) joined.append(piece).push_back(',');
    FUZZ_CHECK(joined == std::string(input) + ",");
    FUZZ_CHECK(text::trim(input) == text::trim_start(text::trim_end(input)));

    if (auto value = text::parse_u64(input))
        FUZZ_CHECK(text::parse_u64(std::to_string(*value)) == value);
    if (auto value = text::parse_u32(input)) FUZZ_CHECK(text::parse_u64(input) == *value);

    auto [a, b] = fuzz::split_pair(input);
    auto order = tolvern::category::compare_trace_names(a, b);
    FUZZ_CHECK(tolvern::category::compare_trace_names(b, a) == 0 <=> order);
    FUZZ_CHECK(tolvern::category::compare_trace_names(a, a) == std::strong_ordering::equal);

    for (const auto& event : tolvern::category::trace_event_lines(input))
        FUZZ_CHECK(!event.empty() && text::trim(event) == event);
    FUZZ_CHECK(tolvern::category::first_diagnostic_line(input).find('\n') == std::string::npos);
    return 0;
}
