// Reading META files: a missing file means defaults; every line is scanned for each known key
// on its own, so a line may carry several settings and unknown text is simply ignored.
#include "meta.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <string>

#include "files.hpp"
#include "text.hpp"

namespace tolvern::meta {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// A decimal floating-point number with an optional sign, or one of the words for infinity and
// not-a-number. from_chars alone rejects a leading "+" and accepts "nan(...)", hence the
// hand-made front.
std::optional<double> parse_double(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    double value = 0;
    if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(text, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else if (text.front() == '.' || (text.front() >= '0' && text.front() <= '9')) {
        auto end = text.data() + text.size();
        auto [stop, error] = std::from_chars(text.data(), end, value);
        if (stop != end) return std::nullopt;
        // A number beyond the range of a double still is one: it becomes infinity or zero.
        if (error == std::errc::result_out_of_range)
            value = std::strtod(std::string(text).c_str(), nullptr);
        else if (error != std::errc{})
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return negative ? -value : value;
}

void apply_line(MetaConfig& config, std::string_view line) {
    auto set_u32 = [&](std::string_view key, std::optional<std::uint32_t>& field) {
        if (auto value = find_pair(key, line)) field = text::parse_u32(*value);
    };
    set_u32("queue-size", config.queue_size);
    set_u32("queue-size-defer", config.queue_size_defer);
    set_u32("queue-size-external", config.queue_size_external);
    if (auto value = find_pair("max-state-factor", line))
        config.max_state_factor = parse_double(*value);
    config.skip_wfc = config.skip_wfc || find_flag("skip-wfc", line);
    config.flush = config.flush || find_flag("flush", line);
}

}  // namespace

std::optional<std::string_view> find_pair(std::string_view key, std::string_view line) {
    std::string opening = "(";
    opening.append(key).push_back(' ');
    auto at = line.find(opening);
    if (at == std::string_view::npos) return std::nullopt;
    auto rest = line.substr(at + opening.size());
    auto close = rest.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    return text::trim(rest.substr(0, close));
}

bool find_flag(std::string_view key, std::string_view line) {
    std::string bare = "(";
    bare.append(key);
    std::string with_true = bare + " #t)";
    bare.push_back(')');
    return line.find(bare) != std::string_view::npos ||
           line.find(with_true) != std::string_view::npos;
}

MetaConfig MetaConfig::parse(std::string_view text) {
    MetaConfig config;
    for (auto raw : text::split_lines(text)) {
        auto line = text::trim(raw);
        if (line.empty() || line.starts_with(";;")) continue;
        apply_line(config, line);
    }
    return config;
}

std::expected<MetaConfig, std::string> MetaConfig::from_file(const Path& path) {
    auto content = files::read_text(path);
    if (content) return parse(*content);
    if (content.error() == std::errc::no_such_file_or_directory) return MetaConfig{};
    return std::unexpected(files::describe(path, content.error()));
}

}  // namespace tolvern::meta
