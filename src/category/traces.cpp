// Trace names and trace goldens.
#include "category/traces.hpp"

#include <algorithm>
#include <span>
#include <system_error>

#include "files.hpp"
#include "text.hpp"

namespace tolvern::category {

std::strong_ordering compare_trace_names(std::string_view a, std::string_view b) {
    auto na = text::parse_u64(a);
    auto nb = text::parse_u64(b);
    if (na && nb) return *na <=> *nb;
    return a.compare(b) <=> 0;
}

bool is_trace_name(std::string_view file_name) {
    return text::is_valid_utf8(file_name);
}

std::vector<TraceGolden> list_trace_goldens(const Path& model_dir, std::string_view prefix) {
    std::vector<TraceGolden> found;
    std::error_code error;
    std::filesystem::directory_iterator it(model_dir / "baseline", error), end;
    for (; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().native();
        if (is_trace_name(name) && name.starts_with(prefix))
            found.push_back({name.substr(prefix.size()), it->path()});
    }
    return found;
}

std::vector<TraceInput> traces_with_input(const Path& model_dir, std::string_view golden_prefix,
                                          const Path& input_dir, std::string_view input_prefix) {
    std::vector<TraceInput> traces;
    for (auto& found : list_trace_goldens(model_dir, golden_prefix)) {
        auto input = input_dir / (std::string(input_prefix) + found.name);
        if (files::exists(input))
            traces.push_back({std::move(found.name), std::move(input), std::move(found.golden)});
    }
    sort_by_trace_name(traces);
    return traces;
}

Divergence divergence(const std::vector<std::string>& diverged, std::size_t traces,
                      bool timed_out) {
    constexpr std::size_t listed = 8;
    const auto n = diverged.size();
    auto reason = std::to_string(n) + "/" + std::to_string(traces) + " trace(s) diverge: " +
                  text::join(std::span(diverged).first(std::min(n, listed)), ",");
    if (n > listed) reason += " (+" + std::to_string(n - listed) + " more)";
    return {n == 1 && timed_out ? Status::Timeout : Status::Fail, std::move(reason)};
}

}  // namespace tolvern::category
