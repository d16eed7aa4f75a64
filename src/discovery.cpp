// Model discovery: lists the two corpus directories and the vorlan component list into one
// ordered model list, and answers the per-model questions a session asks of that list.
#include "discovery.hpp"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>

#include "files.hpp"
#include "text.hpp"

namespace tolvern::discovery {

namespace fs = std::filesystem;
using model::Model;

namespace {

// One of the two corpus directories as the listing sees it.
struct Area {
    Path dir;              // where it is, under the root prefix
    std::string_view rel;  // the same, relative to the root, for `display`
    bool parse;            // test/parse: kind parse-compare, no run.sh alternative
};

bool by_name(const Model& a, const Model& b) {
    return a.name < b.name;
}

// Whether the directory at the path holds a model of the area named `name`.
bool is_model(const Area& area, const Path& dir, const std::string& name) {
    return files::exists(dir / (name + ".svk")) || (!area.parse && files::exists(dir / "run.sh"));
}

// Appends the models of the area's listing, in listing order; the failure text otherwise.
std::optional<std::string> add_models(const Area& area, fs::directory_iterator entries,
                                      const Path& workdir, std::vector<Model>& models) {
    // A failed step ends the listing (the iterator becomes the end), so the error is looked at
    // once after the loop.
    std::error_code error;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        const auto& entry = *entries;
        std::error_code ignored;
        if (!entry.is_directory(ignored)) continue;
        const auto& dir = entry.path();
        std::string name = dir.filename().native();
        if (!text::is_valid_utf8(name) || !is_model(area, dir, name)) continue;
        auto meta = meta::MetaConfig::from_file(dir / "META");
        if (!meta) return meta.error();
        std::string display = std::string(area.rel) + "/" + name + "/" + name + ".svk";
        auto kind = area.parse ? Category::ParseCompare : kind_of(name);
        models.push_back(Model{.dir = dir,
                               .name = name,
                               .source = dir / (name + ".svk"),
                               .display = std::move(display),
                               .workdir = workdir,
                               .baselines = resolve_baselines(dir, name),
                               .meta = *meta,
                               .kind = kind});
    }
    if (error) return error.message();
    return std::nullopt;
}

// Whether the name is one plain path component. The component name names the model's output
// directory and its gold file, which must stay inside the output root and the goldens directory.
bool is_plain_component(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The source path and component name of a component-list line, if it names a model.
std::optional<std::pair<std::string_view, std::string_view>> component_fields(
    std::string_view line) {
    line = text::trim(line);
    if (line.empty() || line.starts_with('#')) return std::nullopt;
    auto fields = text::split_white_space(line);
    if (fields.size() < 2 || !is_plain_component(fields[1])) return std::nullopt;
    return std::pair{fields[0], fields[1]};
}

Model vorlan_model(std::string_view source_text, std::string_view name, const Path& goldens,
                   std::uint32_t queue_size_external) {
    Path source(source_text);
    // kestrin runs in the component's directory, so a relative listed path is handed to it
    // made absolute; otherwise it would be resolved from the wrong directory.
    std::error_code ignored;
    std::string display = source.is_relative() ? text::lossy(fs::absolute(source, ignored))
                                               : std::string(source_text);
    std::ranges::replace(display, '\\', '/');
    model::Baselines baselines;
    if (auto gold = goldens / (std::string(name) + ".aut"); files::exists(gold))
        baselines.lts = gold;
    meta::MetaConfig meta;
    meta.queue_size_external = queue_size_external;
    meta.skip_wfc = true;
    auto dir = source.parent_path();
    return Model{.dir = dir,
                 .name = std::string(name),
                 .source = std::move(source),
                 .display = std::move(display),
                 .workdir = dir,
                 .baselines = std::move(baselines),
                 .meta = meta,
                 .kind = Category::Vorlan};
}

// The models of the component list, sorted by name; none when the list does not exist.
std::expected<std::vector<Model>, std::string> vorlan_models(const config::VorlanConfig& vorlan) {
    std::vector<Model> models;
    if (!files::exists(vorlan.complist)) return models;
    auto content = files::read_text(vorlan.complist);
    if (!content) return std::unexpected(files::describe(vorlan.complist, content.error()));
    auto goldens = vorlan.path / vorlan.goldens_subdir;
    for (auto line : text::split_lines(*content))
        if (auto fields = component_fields(line))
            models.push_back(
                vorlan_model(fields->first, fields->second, goldens, vorlan.queue_size_external));
    std::ranges::stable_sort(models, by_name);
    return models;
}

}  // namespace

std::string root_prefix(const Path& root) {
    auto text = text::lossy(root);
    if (text == "." || text == "./") return {};
    if (text.starts_with("./")) text.erase(0, 2);
    return text;
}

std::expected<std::vector<Model>, std::string> discover(std::string_view root_prefix,
                                                        std::span<const Category> categories,
                                                        const config::VorlanConfig& vorlan) {
    Path root(root_prefix);
    auto workdir = files::canonical_or_same(root);
    std::vector<Model> models;

    Area corpus{root / "test-models", "test-models", false};
    if (!files::exists(corpus.dir))
        return std::unexpected(text::lossy(corpus.dir) + ": test-models/ directory not found");
    std::error_code error;
    fs::directory_iterator corpus_entries(corpus.dir, error);
    if (error) return std::unexpected(files::describe(corpus.dir, error));
    if (auto failure = add_models(corpus, std::move(corpus_entries), workdir, models))
        return std::unexpected(std::move(*failure));

    Area parse{root / "test" / "parse", "test/parse", true};
    if (files::exists(parse.dir)) {
        fs::directory_iterator parse_entries(parse.dir, error);
        if (!error)
            if (auto failure = add_models(parse, std::move(parse_entries), workdir, models))
                return std::unexpected(std::move(*failure));
    }

    std::ranges::stable_sort(models, by_name);

    if (std::ranges::find(categories, Category::Vorlan) != categories.end()) {
        auto listed = vorlan_models(vorlan);
        if (!listed) return std::unexpected(std::move(listed.error()));
        std::ranges::move(*listed, std::back_inserter(models));
    }
    return models;
}

model::Baselines resolve_baselines(const Path& dir, std::string_view stem) {
    model::Baselines found;
    auto baseline = dir / "baseline";
    // The override of a golden stands in for the plain file, which is then not even looked at.
    auto pick = [&](std::string_view override_name, std::string_view plain_name,
                    std::optional<Path>& path, bool& overridden) {
        auto override_path = baseline / override_name;
        auto plain_path = baseline / plain_name;
        if (files::exists(override_path)) {
            path = std::move(override_path);
            overridden = true;
        } else if (files::exists(plain_path)) {
            path = std::move(plain_path);
        }
    };
    auto optional = [](Path candidate) -> std::optional<Path> {
        if (files::exists(candidate)) return candidate;
        return std::nullopt;
    };
    pick("lts.override.aut", "lts.aut", found.lts, found.lts_overridden);
    pick("verify.override", "verify", found.verify, found.verify_overridden);
    pick("parse.override", "parse", found.parse, found.parse_overridden);
    found.verify_txt = optional(baseline / "verify.txt");
    std::string stem_text(stem);
    found.wfc = optional(dir / (stem_text + ".wfc"));
    found.wfc_accept = optional(dir / (stem_text + ".wfc-accept"));
    found.expect = optional(dir / (stem_text + ".expect"));
    return found;
}

Category kind_of(std::string_view name) {
    if (name.starts_with("wf_")) return Category::Wfc;
    if (name.starts_with("symres_")) return Category::Symres;
    if (name.starts_with("lbs_")) return Category::Lbs;
    if (name.starts_with("misc_")) return Category::Misc;
    return Category::Lts;
}

bool filter_matches(std::string_view pattern, std::string_view name) {
    if (pattern.empty()) return true;
    bool starts = pattern.front() == '*';
    bool ends = pattern.back() == '*';
    auto core = pattern;
    while (core.starts_with('*')) core.remove_prefix(1);
    while (core.ends_with('*')) core.remove_suffix(1);
    if (starts && ends) return name.find(core) != std::string_view::npos;
    if (starts) return name.ends_with(core);
    if (ends) return name.starts_with(core);
    return name == pattern;
}

bool accepts(Category category, const Model& model) {
    auto has_baseline = [&](std::string_view file) {
        return files::exists(model.dir / "baseline" / file);
    };
    switch (category) {
        case Category::Parsing: return model.kind == Category::Lts || model.kind == Category::Lbs;
        case Category::ParseCompare: return model.kind == Category::ParseCompare;
        case Category::Wfc: return model.kind == Category::Wfc;
        case Category::Symres: return model.kind == Category::Symres;
        case Category::Lts:
        case Category::Verify:
        case Category::Threads:
        case Category::Trace: return model.kind == Category::Lts;
        case Category::Lbs: return model.kind == Category::Lbs;
        case Category::Vorlan: return model.kind == Category::Vorlan;
        case Category::Misc: return model.kind == Category::Misc;
        case Category::Simulate:
        case Category::SimulateRepl:
            return model.kind == Category::Lts ||
                   (model.kind == Category::Lbs && has_baseline("simulate.0"));
        case Category::Selfcheck: return model.kind == Category::Lbs && has_baseline("selfcheck");
    }
    return false;
}

std::string catalogue_line(const Model& model) {
    auto line = text::pad_right(name(model.kind), 11);
    line += "  ";
    line += text::escape_controls(model.name);
    return line;
}

}  // namespace tolvern::discovery
