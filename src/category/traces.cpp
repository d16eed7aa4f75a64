// Trace names and trace goldens.
#include "category/traces.hpp"

#include <system_error>

#include "text.hpp"

namespace tolvern::category {

std::strong_ordering compare_trace_names(std::string_view a, std::string_view b) {
    auto na = text::parse_u64(a);
    auto nb = text::parse_u64(b);
    if (na && nb) return *na <=> *nb;
    return a.compare(b) <=> 0;
}

std::vector<TraceGolden> list_trace_goldens(const std::filesystem::path& model_dir,
                                            std::string_view prefix) {
    std::vector<TraceGolden> found;
    std::error_code error;
    std::filesystem::directory_iterator it(model_dir / "baseline", error), end;
    for (; !error && it != end; it.increment(error)) {
        auto name = text::lossy(it->path().filename());
        if (name.starts_with(prefix))
            found.push_back({name.substr(prefix.size()), it->path()});
    }
    return found;
}

}  // namespace tolvern::category
