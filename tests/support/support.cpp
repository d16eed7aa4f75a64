// Test helpers: temporary directories, files, corpora with their .aut texts, and runs of the
// built binaries.
#include "support.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <sstream>

#include "text.hpp"

namespace tolvern::testing {

TempDir::TempDir() {
    auto base = fs::temp_directory_path() / "tolvern-test-XXXXXX";
    std::string pattern = base.string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

void write_file(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Run run_program(const fs::path& program, std::vector<std::string> args, const fs::path& cwd,
                std::vector<std::pair<std::string, std::string>> env,
                std::optional<std::string> input) {
    runner::Invocation invocation{program, std::move(args),  std::move(env),
                                  cwd,     std::move(input), std::chrono::seconds(240)};
    auto outcome = runner::run(invocation);
    if (auto* exited = std::get_if<runner::Exited>(&outcome))
        return {exited->code, exited->stdout_text, exited->stderr_text};
    if (auto* error = std::get_if<runner::SpawnError>(&outcome))
        ADD_FAILURE() << "cannot run " << program << ": " << error->message;
    else
        ADD_FAILURE() << program << " timed out";
    return {};
}

fs::path Corpus::model(std::string_view name, bool with_source) {
    auto dir = root / "test-models" / name;
    fs::create_directories(dir / "baseline");
    if (with_source) write_file(dir / (std::string(name) + ".svk"), "model\n");
    return dir;
}

void Corpus::files(std::string_view name,
                   std::initializer_list<std::pair<std::string_view, std::string_view>> files) {
    auto dir = root / "test-models" / name;
    for (auto [file, bytes] : files) write_file(dir / file, bytes);
}

Run Corpus::tolvern(std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env) const {
    return tolvern_with(KESTRIN_STANDIN, std::move(args), std::move(env));
}

Run Corpus::tolvern_with(const fs::path& kestrin, std::vector<std::string> args,
                         std::vector<std::pair<std::string, std::string>> env) const {
    args.insert(args.begin(), {"--kestrin", kestrin.string()});
    env.emplace_back("NO_COLOR", "1");
    return run_program(TOLVERN_BIN, std::move(args), root, std::move(env));
}

std::pair<Run, Run> run_together(const Corpus& first, const Corpus& second, const fs::path& kestrin,
                                 const Strings& args,
                                 const std::vector<std::pair<std::string, std::string>>& env,
                                 const fs::path& meet_dir) {
    auto run = [&](const Corpus& corpus, std::string_view me, std::string_view other) {
        auto with_meeting = env;
        with_meeting.insert(with_meeting.end(), {{"MEET_DIR", meet_dir.string()},
                                                 {"MEET_ME", std::string(me)},
                                                 {"MEET_OTHER", std::string(other)}});
        return corpus.tolvern_with(kestrin, args, with_meeting);
    };
    auto second_run = std::async(std::launch::async, run, std::cref(second), "second", "first");
    auto first_run = run(first, "first", "second");
    return {std::move(first_run), second_run.get()};
}

Strings with_comparator(Strings args) {
    args.insert(args.end(), {"--ltscompare", LTSCOMPARE_STANDIN.string()});
    return args;
}

std::pair<std::string, std::string> empty_path(const Corpus& corpus) {
    auto empty = corpus.root / "empty-path";
    fs::create_directories(empty);
    return {"PATH", empty.string()};
}

std::string aut_text(unsigned states, const std::vector<Edge>& edges) {
    std::string text =
        "des (0, " + std::to_string(edges.size()) + ", " + std::to_string(states) + ")\n";
    for (const auto& e : edges)
        text +=
            "(" + std::to_string(e.from) + ",\"" + e.label + "\"," + std::to_string(e.to) + ")\n";
    return text;
}

std::optional<std::string> unprivileged_prefix(unsigned uid) {
    if (::geteuid() != 0) return "";
    const auto id = std::to_string(uid);
    const std::string prefix = "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups -- ";
    if (run_program("/bin/sh", {"-c", prefix + "true"}, "/").code != 0) return std::nullopt;
    return prefix;
}

std::vector<std::string> lines_with(std::string_view text, std::string_view needle) {
    std::vector<std::string> found;
    for (auto line : text::split_lines(text))
        if (line.find(needle) != std::string_view::npos) found.emplace_back(line);
    return found;
}

}  // namespace tolvern::testing
