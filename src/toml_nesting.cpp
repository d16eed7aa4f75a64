// The nesting of a TOML text, by a scan that knows only what decides depth: table headers, keys,
// strings and comments (so that a dot or bracket inside them counts for nothing), and the arrays
// and inline tables of values. Dots of numbers and dates never count, as values are not keys.
#include "toml_nesting.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace tolvern::config {

namespace {

struct Cursor {
    std::string_view text;
    std::size_t pos = 0;

    bool done() const { return pos >= text.size(); }
    char peek() const { return text[pos]; }
    bool at(std::string_view what) const { return text.substr(pos).starts_with(what); }
    void advance(std::size_t n) { pos = std::min(pos + n, text.size()); }
};

bool is_bare_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

void skip_blanks(Cursor& c) {
    while (!c.done() && (c.peek() == ' ' || c.peek() == '\t')) c.advance(1);
}

// To the line break, which stays.
void skip_to_line_end(Cursor& c) {
    c.pos = std::min(c.text.find('\n', c.pos), c.text.size());
}

// Past the string that starts at the cursor: basic or literal, on one line or on several.
void skip_string(Cursor& c) {
    const char quote = c.peek();
    const bool escapes = quote == '"';
    const std::string triple(3, quote);
    const bool multi_line = c.at(triple);
    c.advance(multi_line ? 3 : 1);
    while (!c.done()) {
        if (!multi_line && c.peek() == '\n') return;
        if (escapes && c.peek() == '\\') {
            c.advance(1);
            if (!c.done() && (multi_line || c.peek() != '\n')) c.advance(1);
        } else if (multi_line && c.at(triple)) {
            c.advance(3);
            // Up to two quotes right after the closing three still belong to the text.
            for (int extra = 0; extra < 2 && !c.done() && c.peek() == quote; ++extra) c.advance(1);
            return;
        } else {
            c.advance(1);
            if (!multi_line && c.text[c.pos - 1] == quote) return;
        }
    }
}

// Reads a dotted key whose first part lies one level below `depth`, which ends as the level of
// its last part. The offset of the first part too deep, if any.
std::optional<std::size_t> read_key(Cursor& c, std::size_t& depth) {
    for (;;) {
        skip_blanks(c);
        if (c.done()) return std::nullopt;
        const char first = c.peek();
        if (first != '"' && first != '\'' && !is_bare_key_char(first)) return std::nullopt;
        if (++depth > MAX_NESTING) return c.pos;
        if (first == '"' || first == '\'')
            skip_string(c);
        else
            while (!c.done() && is_bare_key_char(c.peek())) c.advance(1);
        skip_blanks(c);
        if (c.done() || c.peek() != '.') return std::nullopt;
        c.advance(1);
    }
}

// A key of an inline table at `table_depth` and its "="; `value_depth` becomes its value's level.
std::optional<std::size_t> read_inline_key(Cursor& c, std::size_t table_depth,
                                           std::size_t& value_depth) {
    value_depth = table_depth;
    if (auto deep = read_key(c, value_depth)) return deep;
    skip_blanks(c);
    if (!c.done() && c.peek() == '=') c.advance(1);
    return std::nullopt;
}

// An open array or inline table: its closing character and the level of the value it is.
struct Open {
    char close;
    std::size_t depth;
};

// Scans the value after a key's "=" to its end, through every array and inline table it opens.
std::optional<std::size_t> scan_value(Cursor& c, std::size_t depth) {
    std::vector<Open> open;
    std::size_t value_depth = depth;  // of the value that may start at the cursor
    while (!c.done()) {
        const char ch = c.peek();
        if (ch == '"' || ch == '\'') {
            skip_string(c);
        } else if (ch == '#') {
            skip_to_line_end(c);
        } else if (ch == '\n' && open.empty()) {
            return std::nullopt;
        } else if (ch == '[') {
            // Its elements lie one level below it.
            if (value_depth + 1 > MAX_NESTING) return c.pos;
            open.push_back({']', value_depth});
            ++value_depth;
            c.advance(1);
        } else if (ch == '{') {
            open.push_back({'}', value_depth});
            c.advance(1);
            if (auto deep = read_inline_key(c, open.back().depth, value_depth)) return deep;
        } else if ((ch == ']' || ch == '}') && !open.empty()) {
            open.pop_back();
            c.advance(1);
            if (open.empty()) return std::nullopt;
        } else if (ch == ',' && !open.empty()) {
            c.advance(1);
            if (open.back().close == ']')
                value_depth = open.back().depth + 1;
            else if (auto deep = read_inline_key(c, open.back().depth, value_depth))
                return deep;
        } else {
            c.advance(1);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> too_deep(std::string_view text) {
    Cursor c{text};
    std::size_t table = 0;  // the level of the last table header's last part
    while (!c.done()) {
        skip_blanks(c);
        if (!c.done() && c.peek() == '[') {
            c.advance(c.at("[[") ? 2 : 1);
            table = 0;
            if (auto deep = read_key(c, table)) return deep;
        } else {
            std::size_t depth = table;
            if (auto deep = read_key(c, depth)) return deep;
            skip_blanks(c);
            if (!c.done() && c.peek() == '=') {
                c.advance(1);
                if (auto deep = scan_value(c, depth)) return deep;
            }
        }
        skip_to_line_end(c);
        c.advance(1);
    }
    return std::nullopt;
}

}  // namespace tolvern::config
