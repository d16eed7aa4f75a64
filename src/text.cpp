// Small text helpers shared by the modules.
#include "text.hpp"

#include <charconv>
#include <cstring>
#include <limits>

#include "render/white_space.hpp"

namespace tolvern::text {

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view first_line(std::string_view text) {
    auto line = text.substr(0, text.find('\n'));
    if (line.size() < text.size() && line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

std::string_view trim_start(std::string_view text) {
    return kestrin::render::trim_start(text);
}

std::string_view trim_end(std::string_view text) {
    return kestrin::render::trim_end(text);
}

std::string_view trim(std::string_view text) {
    return kestrin::render::trim(text);
}

std::vector<std::string_view> split_white_space(std::string_view text) {
    return kestrin::render::split_white_space(text);
}

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is invalid.
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    if (b < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return len;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        // Runs of ASCII are the common case: skip them eight bytes at a time.
        std::uint64_t word;
        if (i + sizeof word <= bytes.size()) {
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        auto len = utf8_sequence(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        auto len = utf8_sequence(bytes, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            // A broken sequence becomes one replacement: skip its continuation bytes.
            while (i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80 &&
                   utf8_sequence(bytes, i) == 0)
                ++i;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string decoded(std::string bytes) {
    if (is_valid_utf8(bytes)) return bytes;
    return lossy_utf8(bytes);
}

std::string lossy(const Path& path) {
    return lossy_utf8(path.native());
}

std::string escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        unsigned code = byte;
        // C1 controls are U+0080 to U+009F, written 0xC2 0x80 to 0xC2 0x9F.
        bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                  (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c1) code = static_cast<unsigned char>(text[++i]);
        if (!c1 && byte >= 0x20 && byte != 0x7F) {
            out += text[i];
            continue;
        }
        switch (code) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u{";
                if (code >= 0x10) out += HEX_DIGITS[code >> 4];
                out += HEX_DIGITS[code & 0xF];
                out += '}';
        }
    }
    return out;
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    auto value = parse_u64(text);
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

namespace {
std::size_t code_points(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}
}  // namespace

std::string pad_right(std::string_view text, std::size_t width) {
    std::string out(text);
    auto length = code_points(text);
    if (length < width) out.append(width - length, ' ');
    return out;
}

std::string pad_left(std::string_view text, std::size_t width) {
    auto length = code_points(text);
    std::string out(length < width ? width - length : 0, ' ');
    return out.append(text);
}

std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (auto piece : pieces) out += piece;
    return out;
}

std::vector<std::string_view> quoted_items(std::string_view line) {
    auto pieces = split(line, '"');
    std::vector<std::string_view> items;
    for (std::size_t i = 1; i < pieces.size(); i += 2) items.push_back(pieces[i]);
    return items;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> pieces;
    while (true) {
        auto at = text.find(sep);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

}  // namespace tolvern::text
