// Golden-file helpers. The text work is in pure functions; the path-taking ones only read the
// golden and its siblings and hand the text over. Nothing here writes.
#include "category/golden.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "category/golden_internal.hpp"
#include "files.hpp"
#include "render/white_space.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace judge = kestrin::render::judge;
using kestrin::render::trim_end;

namespace {

// Siblings are named by appending to the golden's own bytes, so that a file name which is not
// valid UTF-8 still finds its overrides.
Path sibling(const Path& golden, std::string_view suffix) {
    return Path(golden.native() + std::string(suffix));
}

std::string read_or_empty(const Path& path) {
    auto text = files::read_text(path);
    return text ? std::move(*text) : std::string();
}

std::string_view without_trailing_newlines(std::string_view text) {
    while (text.ends_with('\n')) text.remove_suffix(1);
    return text;
}

// The last line that starts with "(trail" (no leading blanks), if any.
std::optional<std::string_view> last_trail_line(std::string_view text) {
    std::optional<std::string_view> last;
    for (auto line : text::split_lines(text))
        if (line.starts_with("(trail")) last = line;
    return last;
}

void append_hex(std::string& out, std::uint32_t value) {
    int shift = 28;
    while (shift > 0 && (value >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out += text::HEX_DIGITS[(value >> shift) & 0xF];
}

// Characters that would be invisible, move the cursor or pass for a blank: controls, format
// characters, spaces other than the blank, the line and paragraph separators and the
// noncharacters at the end of the basic plane.
bool is_unprintable(std::uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || c == 0x61C || c == 0x1680 ||
           c == 0x180E || (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
           (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB) || c == 0xFFFE || c == 0xFFFF;
}

// One character of valid UTF-8 at the start of the text: its value and byte length.
std::pair<std::uint32_t, std::size_t> decode(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    auto lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) value = (value << 6) | (byte(i) & 0x3F);
    return {value, length};
}

}  // namespace

std::string quoted(std::string_view raw) {
    // Bytes that are not UTF-8 show as U+FFFD rather than breaking the decoding.
    std::string valid = text::is_valid_utf8(raw) ? std::string(raw) : text::lossy_utf8(raw);
    std::string out = "\"";
    for (std::string_view rest = valid; !rest.empty();) {
        auto [c, length] = decode(rest);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\0': out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default:
                if (is_unprintable(c)) {
                    out += "\\u{";
                    append_hex(out, c);
                    out += '}';
                } else {
                    out.append(rest.substr(0, length));
                }
        }
        rest.remove_prefix(length);
    }
    out += '"';
    return out;
}

bool is_verdict_token(std::string_view text) {
    return text == "<loop>" ||
           std::find(VERDICT_TOKENS.begin(), VERDICT_TOKENS.end(), text) != VERDICT_TOKENS.end();
}

Path stdout_golden_path(const Path& golden) {
    auto override_path = sibling(golden, ".override");
    return files::exists(override_path) ? override_path : golden;
}

Path stderr_golden_path(const Path& golden) {
    auto override_path = sibling(golden, ".stderr.override");
    return files::exists(override_path) ? override_path : sibling(golden, ".stderr");
}

judge::Classification judge_class_of(std::string_view sidecar) {
    auto lines = text::split_lines(sidecar);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        auto trimmed = kestrin::render::trim(*line);
        if (trimmed.empty() || trimmed.starts_with('#')) continue;
        // Only the last class line counts: an unknown word is not rescued by an earlier one.
        return judge::parse_classification(trimmed).value_or(judge::Classification::Shape);
    }
    return judge::Classification::Shape;
}

judge::Classification judge_class(const Path& golden) {
    auto sidecar = files::read_text(sibling(golden, ".judge"));
    return sidecar ? judge_class_of(*sidecar) : judge::Classification::Shape;
}

bool l4_judge_pass(const Path& golden, std::string_view ours, judge::Classification cls) {
    return judge::judge(read_or_empty(golden), ours, cls).verdict != judge::JudgeVerdict::Fail;
}

bool stdout_judge_pass(const Path& golden, std::string_view ours, judge::Classification cls) {
    if (l4_judge_pass(golden, ours, cls)) return true;
    auto override_path = stdout_golden_path(golden);
    return override_path != golden && l4_judge_pass(override_path, ours, cls);
}

bool equal_but_trailing_newlines(std::string_view a, std::string_view b) {
    return without_trailing_newlines(a) == without_trailing_newlines(b);
}

bool stderr_gate_ok(const Path& golden, std::string_view stderr_text) {
    auto chosen = stderr_golden_path(golden);
    if (baseline_ends_in_verdict(golden) && !files::exists(chosen)) return false;
    auto plain = files::read_text(sibling(golden, ".stderr"));
    if (plain ? equal_but_trailing_newlines(*plain, stderr_text)
              : without_trailing_newlines(stderr_text).empty())
        return true;
    return equal_but_trailing_newlines(read_or_empty(chosen), stderr_text);
}

std::string first_diff_line(std::string_view golden, std::string_view ours) {
    auto gold_lines = text::split_lines(golden);
    auto our_lines = text::split_lines(ours);
    auto common = std::min(gold_lines.size(), our_lines.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (trim_end(gold_lines[i]) == trim_end(our_lines[i])) continue;
        return "line " + std::to_string(i + 1) + ": gold=" + quoted(gold_lines[i]) +
               " ours=" + quoted(our_lines[i]);
    }
    if (gold_lines.size() != our_lines.size())
        return "length: gold=" + std::to_string(gold_lines.size()) +
               " ours=" + std::to_string(our_lines.size());
    return "no line-level diff?";
}

std::vector<std::string> missing_substrings(std::string_view expected, std::string_view output) {
    std::vector<std::string> missing;
    for (auto line : text::split_lines(expected)) {
        line = trim_end(line);
        if (line.empty() || line.starts_with('#')) continue;
        if (output.find(line) == std::string_view::npos) missing.emplace_back(line);
    }
    return missing;
}

std::string normalize_verify(std::string_view report) {
    std::string out;
    out.reserve(report.size());
    for (auto line : text::split_lines(report)) {
        out += trim_end(line);
        out += '\n';
    }
    out.resize(without_trailing_newlines(out).size());
    return out;
}

bool holds_quoted(std::string_view line, std::string_view token) {
    for (auto at = line.find(token); at != std::string_view::npos; at = line.find(token, at + 1))
        if (at > 0 && line[at - 1] == '"' && at + token.size() < line.size() &&
            line[at + token.size()] == '"')
            return true;
    return false;
}

bool holds_quoted_verdict(std::string_view line) {
    return std::any_of(VERDICT_TOKENS.begin(), VERDICT_TOKENS.end(),
                       [&](auto token) { return holds_quoted(line, token); });
}

bool text_ends_in_verdict(std::string_view golden_text) {
    auto line = last_trail_line(golden_text);
    return line && holds_quoted_verdict(*line);
}

bool text_ends_in_match(std::string_view golden_text) {
    auto line = last_trail_line(golden_text);
    return line && holds_quoted(*line, "<match>");
}

bool baseline_ends_in_verdict(const Path& golden) {
    auto text = files::read_text(golden);
    return text && text_ends_in_verdict(*text);
}

bool baseline_ends_in_match(const Path& golden) {
    auto text = files::read_text(golden);
    return text && text_ends_in_match(*text);
}

std::pair<Path, Path> repl_override_paths(const Path& golden) {
    return {sibling(golden, ".repl.override"), sibling(golden, ".repl.override.stderr")};
}

}  // namespace tolvern::category
