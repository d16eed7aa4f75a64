// Loading "tolvern.toml": the TOML library parses, then a few typed readers shared by the four
// tables turn its nodes into the records, with one message (and the place) for the first fault.
#include "config.hpp"

#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <span>
#include <system_error>
#include <type_traits>
#include <utility>

#include "files.hpp"
#include "text.hpp"
#include "toml_nesting.hpp"

namespace tolvern::config {

namespace {

// A typing or parse fault; `where.line` is 0 when the place is unknown.
struct Fault {
    std::string message;
    toml::source_position where;
};

template <class T>
using Typed = std::expected<T, Fault>;

// A text as a double-quoted literal, so that blanks and control characters stay visible.
std::string literal(std::string_view text) {
    std::string quoted;
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return "\"" + text::escape_controls(quoted) + "\"";
}

// A float as written in messages: always with a decimal point or exponent.
std::string float_text(double value) {
    char buffer[32];
    std::string text(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
    return text;
}

// What a TOML value is, for "invalid type" messages.
std::string describe_value(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string: return "string " + literal(node.as_string()->get());
        case toml::node_type::integer:
            return "integer `" + std::to_string(node.as_integer()->get()) + "`";
        case toml::node_type::floating_point:
            return "floating point `" + float_text(node.as_floating_point()->get()) + "`";
        case toml::node_type::boolean:
            return node.as_boolean()->get() ? "boolean `true`" : "boolean `false`";
        case toml::node_type::array: return "sequence";
        case toml::node_type::table: return "map";
        case toml::node_type::date: return "date";
        case toml::node_type::time: return "time";
        case toml::node_type::date_time: return "datetime";
        case toml::node_type::none: break;
    }
    return "nothing";
}

Fault invalid_type(const toml::node& node, std::string_view expected) {
    return {"invalid type: " + describe_value(node) + ", expected " + std::string(expected),
            node.source().begin};
}

// --- Typed readers shared by all tables ---------------------------------------------------

template <class Unsigned>
Typed<Unsigned> read_unsigned(const toml::node& node) {
    constexpr auto max = std::numeric_limits<Unsigned>::max();
    // TOML integers are signed 64-bit, so a field at least that wide only rejects negatives.
    constexpr bool wide =
        max >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::string expected =
        wide ? "a non-negative integer" : "an integer from 0 to " + std::to_string(max);
    const auto* integer = node.as_integer();
    if (integer == nullptr) return std::unexpected(invalid_type(node, expected));
    std::int64_t value = integer->get();
    if (value < 0 || static_cast<std::uint64_t>(value) > max)
        return std::unexpected(
            Fault{"invalid value: integer `" + std::to_string(value) + "`, expected " + expected,
                  node.source().begin});
    return static_cast<Unsigned>(value);
}

Typed<std::uint64_t> read_u64(const toml::node& node) {
    return read_unsigned<std::uint64_t>(node);
}
Typed<std::uint32_t> read_u32(const toml::node& node) {
    return read_unsigned<std::uint32_t>(node);
}
Typed<std::size_t> read_size(const toml::node& node) {
    return read_unsigned<std::size_t>(node);
}

Typed<std::string> read_string(const toml::node& node) {
    const auto* string = node.as_string();
    if (string == nullptr) return std::unexpected(invalid_type(node, "a string"));
    return string->get();
}

// The text of a path: the system would read it only up to a NUL, so it must hold none.
Typed<std::string> read_path_text(const toml::node& node) {
    auto string = read_string(node);
    if (string && string->find('\0') != std::string::npos)
        return std::unexpected(Fault{"invalid value: string " + literal(*string) +
                                         ", expected a path without NUL characters",
                                     node.source().begin});
    return string;
}

Typed<Path> read_path(const toml::node& node) {
    auto string = read_path_text(node);
    if (!string) return std::unexpected(std::move(string.error()));
    return Path(std::move(*string));
}

// The type that a reader yields.
template <auto Read>
using ReadType = typename std::invoke_result_t<decltype(Read), const toml::node&>::value_type;

template <auto Read>
Typed<std::vector<ReadType<Read>>> read_list(const toml::node& node) {
    const auto* array = node.as_array();
    if (array == nullptr) return std::unexpected(invalid_type(node, "a sequence"));
    std::vector<ReadType<Read>> values;
    values.reserve(array->size());
    for (const toml::node& element : *array) {
        auto value = Read(element);
        if (!value) return std::unexpected(std::move(value.error()));
        values.push_back(std::move(*value));
    }
    return values;
}

// --- Tables ----------------------------------------------------------------------------------

// One key of a record: its name, whether a present table must hold it, and how it is stored.
template <class Record>
struct Field {
    std::string_view name;
    bool required;
    std::optional<Fault> (*store)(const toml::node&, Record&);
};

// Reads a value with `Read` into a member of the record.
template <auto Member, auto Read, class Record>
std::optional<Fault> store(const toml::node& node, Record& record) {
    auto value = Read(node);
    if (!value) return std::move(value.error());
    record.*Member = std::move(*value);
    return std::nullopt;
}

template <class Record>
struct Shape {
    std::string_view name;
    std::span<const Field<Record>> fields;
    // The record when the file has no such table.
    Record (*defaults)();
};

// A record from a table node (keys by name, unknown keys ignored) or from an array holding the
// values in field order (elements beyond the last field ignored).
template <class Record>
Typed<Record> read_record(const toml::node& node, const Shape<Record>& shape) {
    Record record{};
    if (const auto* table = node.as_table()) {
        std::string_view missing;
        for (const auto& field : shape.fields) {
            const toml::node* value = table->get(field.name);
            if (value == nullptr) {
                if (field.required && missing.empty()) missing = field.name;
                continue;
            }
            if (auto fault = field.store(*value, record)) return std::unexpected(std::move(*fault));
        }
        if (!missing.empty())
            return std::unexpected(
                Fault{"missing field `" + std::string(missing) + "`", node.source().begin});
        return record;
    }
    if (const auto* array = node.as_array()) {
        for (std::size_t i = 0; i < shape.fields.size(); ++i) {
            const auto& field = shape.fields[i];
            if (i >= array->size()) {
                if (!field.required) continue;
                return std::unexpected(Fault{
                    "invalid length " + std::to_string(array->size()) + ", expected struct " +
                        std::string(shape.name) + " with " + std::to_string(shape.fields.size()) +
                        (shape.fields.size() == 1 ? " element" : " elements"),
                    node.source().begin});
            }
            if (auto fault = field.store(*array->get(i), record))
                return std::unexpected(std::move(*fault));
        }
        return record;
    }
    return std::unexpected(invalid_type(node, "struct " + std::string(shape.name)));
}

constexpr Field<ParallelConfig> PARALLEL_FIELDS[] = {
    {"jobs", false, store<&ParallelConfig::jobs, read_size>},
    {"threads_under_test", false, store<&ParallelConfig::threads_under_test, read_list<read_u32>>},
};
constexpr Field<TimeoutConfig> TIMEOUT_FIELDS[] = {
    {"default_secs", true, store<&TimeoutConfig::default_secs, read_u64>},
    {"vorlan_secs", true, store<&TimeoutConfig::vorlan_secs, read_u64>},
    {"lbs_secs", true, store<&TimeoutConfig::lbs_secs, read_u64>},
};
constexpr Field<OutputConfig> OUTPUT_FIELDS[] = {
    {"dir", true, store<&OutputConfig::dir, read_path>},
};
constexpr Field<VorlanConfig> VORLAN_FIELDS[] = {
    {"path", true, store<&VorlanConfig::path, read_path>},
    {"complist", true, store<&VorlanConfig::complist, read_path>},
    {"goldens_subdir", true, store<&VorlanConfig::goldens_subdir, read_path_text>},
    {"import_dirs", true, store<&VorlanConfig::import_dirs, read_list<read_path>>},
    {"queue_size_external", true, store<&VorlanConfig::queue_size_external, read_u32>},
};

constexpr Shape<ParallelConfig> PARALLEL_SHAPE{"ParallelConfig", PARALLEL_FIELDS,
                                               [] { return ParallelConfig{}; }};
constexpr Shape<TimeoutConfig> TIMEOUT_SHAPE{"TimeoutConfig", TIMEOUT_FIELDS,
                                             [] { return TimeoutConfig{}; }};
constexpr Shape<OutputConfig> OUTPUT_SHAPE{"OutputConfig", OUTPUT_FIELDS,
                                           [] { return OutputConfig{}; }};
// The vorlan defaults read the environment, so they are computed only when the table is absent.
constexpr Shape<VorlanConfig> VORLAN_SHAPE{"VorlanConfig", VORLAN_FIELDS, VorlanConfig::defaults};

// The root's table `key`, or the record's default when the file has none.
template <class Record>
Typed<Record> read_table(const toml::table& root, std::string_view key,
                         const Shape<Record>& shape) {
    const toml::node* node = root.get(key);
    if (node == nullptr) return shape.defaults();
    return read_record(*node, shape);
}

Typed<Config> read_config(const toml::table& root) {
    auto parallel = read_table(root, "parallel", PARALLEL_SHAPE);
    if (!parallel) return std::unexpected(std::move(parallel.error()));
    auto timeout = read_table(root, "timeout", TIMEOUT_SHAPE);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    auto output = read_table(root, "output", OUTPUT_SHAPE);
    if (!output) return std::unexpected(std::move(output.error()));
    auto vorlan = read_table(root, "vorlan", VORLAN_SHAPE);
    if (!vorlan) return std::unexpected(std::move(vorlan.error()));
    return Config{.parallel = std::move(*parallel),
                  .timeout = *timeout,
                  .output = std::move(*output),
                  .vorlan = std::move(*vorlan)};
}

// The message, then where it lies: line and column, the line itself and a caret under the column.
std::string render(const Fault& fault, std::string_view text) {
    if (fault.where.line == 0) return fault.message;
    std::string out = fault.message + "\n  at line " + std::to_string(fault.where.line) +
                      ", column " + std::to_string(fault.where.column);
    auto lines = text::split_lines(text);
    if (fault.where.line > lines.size()) return out;
    std::string_view line = lines[fault.where.line - 1];
    // Columns count characters; the caret's padding keeps the line's tabs so that it lines up.
    std::string pad;
    std::size_t characters = 0;
    for (char c : line) {
        if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;  // inside a character
        if (++characters >= fault.where.column) break;
        pad += c == '\t' ? '\t' : ' ';
    }
    return out + ":\n    " + std::string(line) + "\n    " + pad + "^";
}

// The line and column (in characters, as the library counts them) of a byte offset.
toml::source_position position_of(std::string_view text, std::size_t offset) {
    auto before = text.substr(0, offset);
    auto line_start = before.rfind('\n') + 1;  // 0 when there is no line break before
    auto columns = std::ranges::count_if(before.substr(line_start), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // not inside a character
    });
    return {static_cast<toml::source_index>(std::ranges::count(before, '\n') + 1),
            static_cast<toml::source_index>(columns + 1)};
}

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

}  // namespace

std::size_t ParallelConfig::jobs_resolved() const {
    if (jobs) return *jobs;
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

VorlanConfig VorlanConfig::defaults() {
    // Used only when HOME is unset: an absolute directory that never holds a corpus.
    constexpr const char* fallback_home = "/var/empty";
    // The corpus's conventional include directories, searched after its root, in this order.
    constexpr const char* import_names[] = {
        "lib",     "lib/std",  "include",   "models",     "modules",
        "shared",  "common",   "protocols", "interfaces", "components",
        "drivers", "services", "platform",  "vendor",     "generated",
    };
    static_assert(std::size(import_names) == 15);

    VorlanConfig vorlan;
    if (const char* root = std::getenv("VORLAN")) {
        vorlan.path = root;
    } else {
        const char* home = std::getenv("HOME");
        vorlan.path = Path(home ? home : fallback_home) / "src" / "vorlan";
    }
    vorlan.import_dirs.push_back(vorlan.path);
    for (const char* name : import_names) vorlan.import_dirs.push_back(vorlan.path / name);
    vorlan.complist = "build/artifacts/vorlan_components.txt";
    vorlan.goldens_subdir = ".tolvern-goldens";
    vorlan.queue_size_external = 2;
    return vorlan;
}

std::expected<Config, std::string> Config::parse(std::string_view text) {
    // The library would skip the mark too, but the line shown with a fault must not hold it.
    if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
    // The library would overflow its stack on such a text.
    if (auto deep = too_deep(text))
        return std::unexpected(
            render({"nested deeper than " + std::to_string(MAX_NESTING) + " levels",
                    position_of(text, *deep)},
                   text));
    toml::table root;
    try {
        root = toml::parse(text);
    } catch (const toml::parse_error& error) {
        return std::unexpected(
            render({std::string(error.description()), error.source().begin}, text));
    }
    auto config = read_config(root);
    if (!config) return std::unexpected(render(config.error(), text));
    return std::move(*config);
}

std::expected<Config, std::string> Config::load(const Path& path) {
    auto contents = files::read_text(path);
    if (!contents) {
        if (contents.error() == std::errc::no_such_file_or_directory) return Config{};
        return std::unexpected(files::describe(path, contents.error()));
    }
    auto config = parse(*contents);
    if (!config) return std::unexpected(text::lossy(path) + ": " + config.error());
    return config;
}

}  // namespace tolvern::config
