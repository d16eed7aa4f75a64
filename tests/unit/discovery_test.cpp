// Model discovery on corpora made in temporary directories: what counts as a model, the order,
// the failures and their texts, the vorlan component list, baselines, the filter, the catalogue
// and the acceptance rule.
#include "discovery.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <system_error>

#include "files.hpp"
#include "support.hpp"

namespace tolvern::discovery {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using model::Model;
using testing::TempDir;
using testing::write_file;

constexpr std::array<Category, 0> NO_CATEGORIES{};
constexpr std::array<Category, 1> VORLAN_ONLY{Category::Vorlan};

std::string message(std::errc error) {
    return std::make_error_code(error).message();
}

struct Entry {
    std::string name;
    Category kind;
};

std::vector<Entry> entries(const std::vector<Model>& models) {
    std::vector<Entry> out;
    for (const auto& m : models) out.push_back({m.name, m.kind});
    return out;
}

bool operator==(const Entry& a, const Entry& b) {
    return a.name == b.name && a.kind == b.kind;
}
void PrintTo(const Entry& e, std::ostream* os) {
    *os << e.name << ":" << name(e.kind);
}

Model model_of(Category kind, std::string_view name) {
    Model m;
    m.name = name;
    m.kind = kind;
    return m;
}

// A corpus root in a temporary directory.
struct Root {
    TempDir tmp;
    fs::path path = tmp.path;

    fs::path corpus_model(std::string_view area, std::string_view name, std::string_view file) {
        auto dir = path / area / name;
        fs::create_directories(dir);
        if (!file.empty()) write_file(dir / file, "model\n");
        return dir;
    }
    fs::path model(std::string_view name) {
        return corpus_model("test-models", name, std::string(name) + ".svk");
    }
    fs::path parse_model(std::string_view name) {
        return corpus_model("test/parse", name, std::string(name) + ".svk");
    }
    std::expected<std::vector<Model>, std::string> discover(
        std::span<const Category> categories = NO_CATEGORIES,
        const config::VorlanConfig& vorlan = {}) const {
        return discovery::discover(path.string(), categories, vorlan);
    }
};

TEST(RootPrefix, Forms) {
    const std::pair<const char*, const char*> cases[] = {
        {".", ""},          {"./", ""},       {"", ""},         {"./corpus", "corpus"},
        {".//x", "/x"},     {"././x", "./x"}, {"x/./", "x/./"}, {"/abs/root", "/abs/root"},
        {"../up", "../up"},
    };
    for (auto [root, prefix] : cases) EXPECT_EQ(root_prefix(root), prefix) << root;
}

TEST(KindOf, Prefixes) {
    const std::pair<const char*, Category> cases[] = {
        {"wf_a", Category::Wfc},   {"wfc_a", Category::Lts}, {"symres_x", Category::Symres},
        {"lbs_x", Category::Lbs},  {"lbs", Category::Lts},   {"misc_", Category::Misc},
        {"Misc_x", Category::Lts}, {"plain", Category::Lts}, {"wf_lbs_x", Category::Wfc},
    };
    for (auto [name, kind] : cases) EXPECT_EQ(kind_of(name), kind) << name;
}

TEST(Discover, CorpusKindsAndWhatCountsAsAModel) {
    Root root;
    root.model("wf_a");
    root.model("wfc_b");
    root.model("lbs");
    root.model("misc_");
    root.corpus_model("test-models", "lbs_script", "run.sh");
    root.corpus_model("test-models", "empty", "");
    root.corpus_model("test-models", "wrong_source", "other.svk");
    write_file(root.path / "test-models" / "notes.svk", "not a directory\n");
    // A linked directory counts; a dangling link is skipped.
    auto target = root.corpus_model("elsewhere", "linked", "linked.svk");
    fs::create_directory_symlink(target, root.path / "test-models" / "linked");
    fs::create_directory_symlink(root.path / "nowhere", root.path / "test-models" / "dangling");
    // A name that is not UTF-8 is skipped even when it holds its source.
    root.model("bad\xff");

    auto models = root.discover();
    ASSERT_TRUE(models.has_value()) << models.error();
    EXPECT_EQ(entries(*models), (std::vector<Entry>{{"lbs", Category::Lts},
                                                    {"lbs_script", Category::Lbs},
                                                    {"linked", Category::Lts},
                                                    {"misc_", Category::Misc},
                                                    {"wf_a", Category::Wfc},
                                                    {"wfc_b", Category::Lts}}));
    const auto& script = (*models)[1];
    auto dir = root.path / "test-models" / "lbs_script";
    EXPECT_EQ(script.dir, dir);
    EXPECT_EQ(script.source, dir / "lbs_script.svk");
    EXPECT_EQ(script.display, "test-models/lbs_script/lbs_script.svk");
    EXPECT_EQ(script.workdir, fs::canonical(root.path));
    EXPECT_EQ(script.meta, meta::MetaConfig{});
}

TEST(Discover, ParseModelsNeedTheirSource) {
    Root root;
    root.model("m");
    root.parse_model("p");
    root.corpus_model("test/parse", "script_only", "run.sh");
    write_file(root.path / "test" / "parse" / "file", "x");

    auto models = root.discover();
    ASSERT_TRUE(models.has_value()) << models.error();
    EXPECT_EQ(entries(*models),
              (std::vector<Entry>{{"m", Category::Lts}, {"p", Category::ParseCompare}}));
    const auto& p = (*models)[1];
    EXPECT_EQ(p.dir, root.path / "test" / "parse" / "p");
    EXPECT_EQ(p.display, "test/parse/p/p.svk");
    EXPECT_EQ(p.workdir, fs::canonical(root.path));
}

TEST(Discover, ParseAreaThatCannotBeListedIsSkipped) {
    Root root;
    root.model("m");
    write_file(root.path / "test" / "parse", "a file");
    auto models = root.discover();
    ASSERT_TRUE(models.has_value()) << models.error();
    EXPECT_EQ(entries(*models), (std::vector<Entry>{{"m", Category::Lts}}));
}

TEST(Discover, SortsByNameBytesKeepingCorpusFirst) {
    Root root;
    for (auto name : {"b", "a_b", "a", "B", "\xc3\xa9", "same"}) root.model(name);
    root.parse_model("same");
    root.parse_model("0");

    auto models = root.discover();
    ASSERT_TRUE(models.has_value()) << models.error();
    EXPECT_EQ(entries(*models), (std::vector<Entry>{{"0", Category::ParseCompare},
                                                    {"B", Category::Lts},
                                                    {"a", Category::Lts},
                                                    {"a_b", Category::Lts},
                                                    {"b", Category::Lts},
                                                    {"same", Category::Lts},
                                                    {"same", Category::ParseCompare},
                                                    {"\xc3\xa9", Category::Lts}}));
}

TEST(Discover, ReadsMetaAndBaselines) {
    Root root;
    auto dir = root.model("m");
    write_file(dir / "META", "(queue-size 5)\n(flush)\n");
    write_file(dir / "baseline" / "lts.aut", "des (0,0,1)\n");
    auto models = root.discover();
    ASSERT_TRUE(models.has_value()) << models.error();
    ASSERT_EQ(models->size(), 1u);
    EXPECT_EQ((*models)[0].meta.queue_size, 5u);
    EXPECT_TRUE((*models)[0].meta.flush);
    EXPECT_EQ((*models)[0].baselines.lts, dir / "baseline" / "lts.aut");
}

TEST(Discover, RelativeRootGivesRootRelativePaths) {
    Root root;
    root.model("m");
    auto previous = fs::current_path();
    fs::current_path(root.path);
    auto models = discovery::discover(root_prefix("./"), NO_CATEGORIES, {});
    fs::current_path(previous);
    ASSERT_TRUE(models.has_value()) << models.error();
    ASSERT_EQ(models->size(), 1u);
    EXPECT_EQ((*models)[0].dir, fs::path("test-models/m"));
    EXPECT_EQ((*models)[0].source, fs::path("test-models/m/m.svk"));
    EXPECT_EQ((*models)[0].workdir, fs::canonical(root.path));
}

TEST(Discover, Failures) {
    {
        Root root;
        EXPECT_EQ(root.discover().error(),
                  (root.path / "test-models").string() + ": test-models/ directory not found");
    }
    {
        Root root;
        write_file(root.path / "test-models", "a file");
        EXPECT_EQ(root.discover().error(), (root.path / "test-models").string() + ": " +
                                               message(std::errc::not_a_directory));
    }
    {
        Root root;
        root.model("ok");
        fs::create_directories(root.model("m") / "META");
        EXPECT_EQ(root.discover().error(), (root.path / "test-models" / "m" / "META").string() +
                                               ": " + message(std::errc::is_a_directory));
    }
    {
        Root root;
        write_file(root.parse_model("p") / "META", "\xfe\n");
        root.model("m");
        EXPECT_EQ(root.discover().error(), (root.path / "test" / "parse" / "p" / "META").string() +
                                               ": " + message(std::errc::illegal_byte_sequence));
    }
}

// The component list of a vorlan corpus beside the root.
struct Vorlan {
    TempDir tmp;
    config::VorlanConfig config{.path = tmp.path,
                                .complist = tmp.path / "components.txt",
                                .goldens_subdir = "golden",
                                .import_dirs = {},
                                .queue_size_external = 7};
};

TEST(DiscoverVorlan, ComponentListLines) {
    Root root;
    root.model("zz");
    Vorlan vorlan;
    write_file(vorlan.config.complist,
               "# components\r\n"
               "   # indented comment\n"
               "\n"
               "lonely\n"
               "src\\Pump.svk pump extra fields\r\n"
               "\t a/Valve.svk   valve \n"
               "\u3000Wide.svk\u00A0wide\u3000\n"
               // Names that would leave the output root or the goldens directory.
               "v/src/c.svk ../../../../tmp/x\n"
               "c.svk /abs\n"
               "c.svk a/b\n"
               "c.svk ..\n"
               "c.svk .\n"
               "c.svk nul\0x\n"
               "Bare.svk bare"s);
    write_file(vorlan.tmp.path / "golden" / "pump.aut", "des (0,0,1)\n");

    auto models = root.discover(VORLAN_ONLY, vorlan.config);
    ASSERT_TRUE(models.has_value()) << models.error();
    EXPECT_EQ(entries(*models), (std::vector<Entry>{{"zz", Category::Lts},
                                                    {"bare", Category::Vorlan},
                                                    {"pump", Category::Vorlan},
                                                    {"valve", Category::Vorlan},
                                                    {"wide", Category::Vorlan}}));
    const auto& bare = (*models)[1];
    EXPECT_EQ(bare.dir, fs::path());
    EXPECT_EQ(bare.baselines.lts, std::nullopt);
    const auto& pump = (*models)[2];
    EXPECT_EQ(pump.source, fs::path("src\\Pump.svk"));
    // A relative listed path reaches kestrin absolute: it runs in the component's directory.
    EXPECT_EQ(pump.display, (fs::current_path() / "src/Pump.svk").string());
    EXPECT_EQ(pump.baselines.lts, vorlan.tmp.path / "golden" / "pump.aut");
    meta::MetaConfig fixed;
    fixed.queue_size_external = 7;
    fixed.skip_wfc = true;
    EXPECT_EQ(pump.meta, fixed);
    const auto& valve = (*models)[3];
    EXPECT_EQ(valve.dir, fs::path("a"));
    EXPECT_EQ(valve.workdir, fs::path("a"));
    EXPECT_EQ(valve.source, fs::path("a/Valve.svk"));
    EXPECT_EQ((*models)[4].source, fs::path("Wide.svk"));
}

TEST(DiscoverVorlan, ListIsReadOnlyForTheVorlanCategory) {
    Root root;
    root.model("m");
    Vorlan vorlan;
    fs::create_directories(vorlan.config.complist);  // unreadable as a file

    auto without = root.discover(NO_CATEGORIES, vorlan.config);
    ASSERT_TRUE(without.has_value()) << without.error();
    EXPECT_EQ(without->size(), 1u);
    auto all = root.discover(ALL_CATEGORIES, vorlan.config);
    EXPECT_EQ(all.error(),
              vorlan.config.complist.string() + ": " + message(std::errc::is_a_directory));
}

TEST(DiscoverVorlan, MissingListAddsNothingAndBadTextFails) {
    Root root;
    root.model("m");
    Vorlan vorlan;
    auto missing = root.discover(VORLAN_ONLY, vorlan.config);
    ASSERT_TRUE(missing.has_value()) << missing.error();
    EXPECT_EQ(missing->size(), 1u);

    write_file(vorlan.config.complist, "a.svk a\n\x80\n");
    EXPECT_EQ(root.discover(VORLAN_ONLY, vorlan.config).error(),
              vorlan.config.complist.string() + ": " + message(std::errc::illegal_byte_sequence));
}

TEST(ResolveBaselines, OverridesAndSidecars) {
    TempDir tmp;
    auto dir = tmp.path;
    auto baseline = dir / "baseline";
    auto absent = resolve_baselines(dir, "m");
    EXPECT_FALSE(absent.lts || absent.verify || absent.parse || absent.verify_txt || absent.wfc ||
                 absent.wfc_accept || absent.expect);
    EXPECT_FALSE(absent.lts_overridden || absent.verify_overridden || absent.parse_overridden);

    for (auto file : {"lts.override.aut", "lts.aut", "verify", "parse.override", "verify.txt"})
        write_file(baseline / file, "x");
    for (auto file : {"m.wfc", "m.wfc-accept", "m.expect", "other.expect"})
        write_file(dir / file, "x");
    auto found = resolve_baselines(dir, "m");
    EXPECT_EQ(found.lts, baseline / "lts.override.aut");
    EXPECT_TRUE(found.lts_overridden);
    EXPECT_EQ(found.verify, baseline / "verify");
    EXPECT_FALSE(found.verify_overridden);
    EXPECT_EQ(found.parse, baseline / "parse.override");
    EXPECT_TRUE(found.parse_overridden);
    EXPECT_EQ(found.verify_txt, baseline / "verify.txt");
    EXPECT_EQ(found.wfc, dir / "m.wfc");
    EXPECT_EQ(found.wfc_accept, dir / "m.wfc-accept");
    EXPECT_EQ(found.expect, dir / "m.expect");

    fs::remove(baseline / "lts.override.aut");
    found = resolve_baselines(dir, "m");
    EXPECT_EQ(found.lts, baseline / "lts.aut");
    EXPECT_FALSE(found.lts_overridden);
}

TEST(FilterMatches, Patterns) {
    struct Case {
        std::string_view pattern, name;
        bool kept;
    };
    const Case cases[] = {
        {"", "anything", true},     {"*", "anything", true},    {"**", "", true},
        {"abc", "abc", true},       {"abc", "abcd", false},     {"abc", "ABC", false},
        {"*_x", "a_x", true},       {"*_x", "a_xy", false},     {"**_x", "a_x", true},
        {"lbs_*", "lbs_a", true},   {"lbs_*", "xlbs_a", false}, {"lbs_**", "lbs_", true},
        {"*mid*", "a_mid_b", true}, {"*mid*", "a_mi_b", false}, {"*a*b*", "xa*by", true},
        {"*a*b*", "xaby", false},   {"a*b", "a*b", true},       {"a*b", "axb", false},
        {"?", "a", false},          {"[a]", "[a]", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(filter_matches(c.pattern, c.name), c.kept) << c.pattern << " / " << c.name;
}

TEST(CatalogueLine, PadsKindNames) {
    const std::pair<Category, const char*> cases[] = {
        {Category::Lts, "lts          m"},    {Category::ParseCompare, "parse-compare  m"},
        {Category::Symres, "symres       m"}, {Category::Vorlan, "vorlan       m"},
        {Category::Misc, "misc         m"},
    };
    for (auto [kind, line] : cases)
        EXPECT_EQ(catalogue_line(model_of(kind, "m")), line) << name(kind);
}

TEST(Accepts, EveryCategoryAndKind) {
    TempDir tmp;
    auto dir_model = [&](Category kind, std::string_view name) {
        auto m = model_of(kind, name);
        m.dir = tmp.path / name;
        return m;
    };
    const Model lts = dir_model(Category::Lts, "lts");
    const Model lbs = dir_model(Category::Lbs, "lbs_plain");
    const Model lbs_sim = dir_model(Category::Lbs, "lbs_sim");
    const Model lbs_self = dir_model(Category::Lbs, "lbs_self");
    const Model parse = dir_model(Category::ParseCompare, "parse");
    const Model wfc = dir_model(Category::Wfc, "wf_a");
    const Model symres = dir_model(Category::Symres, "symres_a");
    const Model vorlan = dir_model(Category::Vorlan, "vorlan");
    const Model misc = dir_model(Category::Misc, "misc_a");
    write_file(lbs_sim.dir / "baseline" / "simulate.0", "");
    write_file(lbs_self.dir / "baseline" / "selfcheck", "");
    const std::array<const Model*, 9> all = {&lts, &lbs,    &lbs_sim, &lbs_self, &parse,
                                             &wfc, &symres, &vorlan,  &misc};

    using Set = std::vector<const Model*>;
    const std::pair<Category, Set> cases[] = {
        {Category::Parsing, {&lts, &lbs, &lbs_sim, &lbs_self}},
        {Category::ParseCompare, {&parse}},
        {Category::Wfc, {&wfc}},
        {Category::Symres, {&symres}},
        {Category::Lts, {&lts}},
        {Category::Verify, {&lts}},
        {Category::Lbs, {&lbs, &lbs_sim, &lbs_self}},
        {Category::Vorlan, {&vorlan}},
        {Category::Threads, {&lts}},
        {Category::Misc, {&misc}},
        {Category::Simulate, {&lts, &lbs_sim}},
        {Category::SimulateRepl, {&lts, &lbs_sim}},
        {Category::Trace, {&lts}},
        {Category::Selfcheck, {&lbs_self}},
    };
    ASSERT_EQ(std::size(cases), 14u);
    for (const auto& [category, expected] : cases) {
        Set accepted;
        for (const auto* m : all)
            if (accepts(category, *m)) accepted.push_back(m);
        EXPECT_EQ(accepted, expected) << name(category);
    }

    // Tested when asked, not when the model was built.
    fs::remove(lbs_sim.dir / "baseline" / "simulate.0");
    EXPECT_FALSE(accepts(Category::Simulate, lbs_sim));
}

}  // namespace
}  // namespace tolvern::discovery
