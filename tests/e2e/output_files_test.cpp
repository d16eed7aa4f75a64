// The files of the output root across sessions: each is a new file that takes its name whole, so
// that a reader of an old one keeps its bytes, nothing planted at a name is written through or
// waited on, and a session stopped at once leaves none of its temporary files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "outputs.hpp"
#include "posix.hpp"
#include "support.hpp"
#include "text.hpp"

namespace tolvern::testing {
namespace {

namespace posix = tolvern::posix;

const std::string LOOP = aut_text(2, {{0, "a", 1}, {1, "b", 0}});

// The regular files under the directory whose names start with a dot, as a session's temporary
// files do (and those planted to look like them).
std::vector<fs::path> hidden_files(const fs::path& dir) {
    std::vector<fs::path> found;
    if (!fs::exists(dir)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.path().filename().string().starts_with('.')) found.push_back(entry.path());
    return found;
}

// A corpus of lts models whose every check writes its artefacts and log.
struct LtsCorpus : Corpus {
    explicit LtsCorpus(int models, std::string_view lts = LOOP) {
        for (int i = 0; i < models; ++i) {
            auto name = "m" + std::to_string(i);
            model(name);
            files(name, {{"baseline/lts.aut", lts}});
        }
    }
    fs::path outputs() const { return root / "build/outputs/tolvern"; }
};

// Runs tolvern with the kestrin stand-in in the corpus, under a file-size limit of so many KiB.
Run tolvern_with_file_limit(const Corpus& corpus, int kib, const Strings& args) {
    std::string command = "ulimit -f " + std::to_string(kib) + "; exec " + TOLVERN_BIN.string() +
                          " --kestrin " + KESTRIN_STANDIN.string();
    for (const auto& arg : args) command += " " + arg;
    return run_program("/bin/bash", {"-c", command}, corpus.root);
}

TEST(OutputFiles, AReaderOfAnOldFileKeepsReadingItsOwnBytesAcrossARerun) {
    LtsCorpus corpus(6);
    const auto args = with_comparator({"--category", "lts"});
    ASSERT_EQ(corpus.tolvern(args).code, 0);
    struct Held {
        fs::path path;
        posix::Fd fd;
        std::string bytes;
    };
    std::vector<Held> held;
    for (const auto& entry : fs::recursive_directory_iterator(corpus.outputs()))
        if (entry.is_regular_file())
            held.push_back({entry.path(), posix::Fd(::open(entry.path().c_str(), O_RDONLY)),
                            read_file(entry.path())});
    ASSERT_GE(held.size(), 6u * 4);

    ASSERT_EQ(corpus.tolvern(args).code, 0);
    for (auto& file : held) {
        std::string read;
        ASSERT_TRUE(posix::read_to_end(file.fd.fd, read));
        EXPECT_TRUE(read == file.bytes) << file.path << " now reads:\n" << read;
    }
    EXPECT_EQ(hidden_files(corpus.outputs()), std::vector<fs::path>());
}

TEST(OutputFiles, LinksAndFifosPlantedAtHiddenNamesAreNeitherWrittenThroughNorWaitedOn) {
    // A misc script, run between the passes that write before it and those that write after,
    // replaces every hidden file of the output root with a link to a file outside it or with a
    // FIFO, and takes the names that this session's next temporary files may get.
    const std::string planter =
        "out=\"$MODEL_DIR/../../build/outputs/tolvern\"\n"
        "plant() { rm -f \"$1\"; if [ \"$PLANT\" = link ]; then ln \"$VICTIM\" \"$1\";"
        " else mkfifo \"$1\"; fi; }\n"
        "for f in $(find \"$out\" -name '.*' -type f -o -name '.*' -type p); do plant \"$f\"; "
        "done\n"
        "for dir in \"$out\"/simulate/*/ \"$out\"/trace/*/; do\n"
        "  n=0; while [ $n -lt 200 ]; do plant \"$dir.log.$PPID-$n\"; n=$((n + 1)); done\n"
        "done\n";
    for (std::string kind : {"link", "fifo"}) {
        LtsCorpus corpus(3);
        fs::copy(SOURCE_DIR / "examples/corpus/test-models/sim_door",
                 corpus.root / "test-models/sim_door", fs::copy_options::recursive);
        const auto victim = corpus.root / "victim";
        write_file(victim, "precious\n");
        const auto args = with_comparator({"--output", "json"});
        // The first session makes every output directory; the second plants in them.
        auto before = corpus.tolvern(args);
        corpus.model("misc_plant", false);
        corpus.files("misc_plant", {{"run.sh", planter}});
        auto planted = corpus.tolvern(args, {{"PLANT", kind}, {"VICTIM", victim.string()}});

        auto expected = reported(before);
        expected["misc_plant"] = {"PASS", ""};
        EXPECT_EQ(reported(planted), expected) << kind << "\n" << planted.err;
        EXPECT_EQ(planted.code, before.code) << kind;
        EXPECT_EQ(read_file(victim), "precious\n") << kind;
        EXPECT_FALSE(hidden_files(corpus.outputs()).empty()) << kind << ": nothing was planted";
    }
}

// Every file under the directory, links not followed, with its bytes (a link: where it leads).
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        auto name = fs::relative(entry.path(), dir).string();
        files[name] = entry.is_symlink() ? "-> " + fs::read_symlink(entry.path()).string()
                                         : read_file(entry.path());
    }
    return files;
}

TEST(OutputFiles, ALinkOrAFileWhereACategoryOrAModelDirectoryBelongsIsNotFollowed) {
    const std::string outputs = "./build/outputs/tolvern/";
    struct Case {
        std::string what;
        std::string planted;  // under the output root
        std::string target;   // relative to the corpus root; "" for a regular file
        std::map<std::string, Verdict> verdicts;
    } cases[] = {
        {"a category's directory linked to one holding a log",
         "lts",
         "victim",
         {{"m0", {"FAIL", "output dir: " + outputs + "lts is a symbolic link, not a directory"}},
          {"m1", {"FAIL", "output dir: " + outputs + "lts is a symbolic link, not a directory"}},
          {"m2", {"FAIL", "output dir: " + outputs + "lts is a symbolic link, not a directory"}}}},
        {"a model's directory linked to another model's baseline",
         "lts/m0",
         "test-models/m1/baseline",
         {{"m0", {"FAIL", "output dir: " + outputs + "lts/m0 is a symbolic link, not a directory"}},
          {"m1", {"PASS", ""}},
          {"m2", {"PASS", ""}}}},
        {"a file at a model's directory",
         "lts/m2",
         "",
         {{"m0", {"PASS", ""}},
          {"m1", {"PASS", ""}},
          {"m2",
           {"FAIL", "output dir: " + outputs + "lts/m2 is a regular file, not a directory"}}}},
    };
    for (const auto& c : cases) {
        LtsCorpus corpus(3);
        write_file(corpus.root / "victim/log", "precious\n");
        const auto planted = corpus.outputs() / c.planted;
        fs::create_directories(planted.parent_path());
        if (c.target.empty())
            write_file(planted, "mine\n");
        else
            fs::create_directory_symlink(corpus.root / c.target, planted);
        // What the planted name holds, or leads to.
        auto held = [&] {
            if (c.target.empty())
                return std::map<std::string, std::string>{{"", read_file(planted)}};
            return snapshot(corpus.root / c.target);
        };
        const auto before = held();

        auto run = corpus.tolvern(with_comparator({"--category", "lts", "--output", "json"}));
        EXPECT_EQ(reported(run), c.verdicts) << c.what << "\n" << run.err;
        EXPECT_EQ(held(), before) << c.what;
        EXPECT_EQ(fs::is_symlink(planted), !c.target.empty()) << c.what;
    }
}

TEST(OutputFiles, AFileKeptForInspectionThatCannotBeWrittenIsSaidAndThePreviousOneGoes) {
    struct Case {
        std::string what;
        bool log_is_a_directory;  // a previous "log" that cannot be removed
        std::string err;
    } cases[] = {
        {"files", false,
         "warning: lts/m0: ours.aut.stderr not written: File too large\n"
         "warning: lts/m0: log not written: File too large\n"},
        {"a directory", true,
         "warning: lts/m0: ours.aut.stderr not written: File too large\n"
         "warning: lts/m0: log not written: File too large; the previous log stays: Directory "
         "not empty\n"},
    };
    for (const auto& c : cases) {
        LtsCorpus corpus(2);
        corpus.files("m0", {{"standin/lts.stderr", "old\n"}});
        const auto args = with_comparator({"--category", "lts", "--output", "json"});
        ASSERT_EQ(corpus.tolvern(args).code, 0);
        const auto dir = out_dir(corpus, "lts", "m0");
        if (c.log_is_a_directory) {
            fs::remove(dir / "log");
            write_file(dir / "log/kept", "");
        }
        // A standard error too long for the file-size limit: neither its artefact nor the log
        // that shows it instead can be written.
        corpus.files("m0", {{"standin/lts.stderr", std::string(10'000, 'e')}});
        auto run = tolvern_with_file_limit(corpus, 4, args);

        std::map<std::string, Verdict> passed = {{"m0", {"PASS", ""}}, {"m1", {"PASS", ""}}};
        EXPECT_EQ(reported(run), passed) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_FALSE(fs::exists(dir / "ours.aut.stderr")) << c.what;
        EXPECT_EQ(fs::exists(dir / "log"), c.log_is_a_directory) << c.what;
        EXPECT_TRUE(log_of(corpus, "lts", "m1").starts_with("== tolvern: m1 (lts)  PASS"))
            << c.what;
    }
}

TEST(OutputFiles, NormalisedFilesThatCannotBeWrittenLeaveNoneOfThePreviousRun) {
    // A ring of 300 transitions: its normalised text passes a file-size limit of 1 KiB.
    std::vector<Edge> ring;
    for (unsigned i = 0; i < 300; ++i) ring.push_back({i, "a", (i + 1) % 300});
    const auto big = aut_text(300, ring);
    const auto reversed = [](std::string_view aut) {
        auto lines = tolvern::text::split_lines(aut);
        std::string text = std::string(lines.front()) + "\n";
        for (auto line = lines.rbegin(); line + 1 != lines.rend(); ++line)
            text += std::string(*line) + "\n";
        return text;
    };
    struct Case {
        std::string category;
        std::vector<std::string> normalised;
        Verdict verdict;
        std::string note;
    } cases[] = {
        {"lts",
         {"ours.normalized.aut", "gold.normalized.aut"},
         {"FAIL", "ltscompare error"},
         "[note] write ours.normalized.aut: File too large\n"},
        {"threads",
         {"ours.t1.normalized.aut", "ours.t2.normalized.aut"},
         {"FAIL", "threads-divergent N=[2]"},
         "[note] write ours.t1.normalized.aut: File too large\n"},
    };
    for (const auto& c : cases) {
        LtsCorpus corpus(1);
        write_file(corpus.root / "tolvern.toml", "[parallel]\nthreads_under_test = [1, 2]\n");
        // With another order of its lines at two threads, the LTS is compared, not only read.
        corpus.files("m0", {{"standin/lts.t2.stdout", reversed(LOOP)}});
        const auto args = with_comparator({"--category", c.category, "--output", "json"});
        ASSERT_EQ(reported(corpus.tolvern(args)),
                  (std::map<std::string, Verdict>{{"m0", {"PASS", ""}}}))
            << c.category;
        const auto dir = out_dir(corpus, c.category, "m0");
        for (const auto& name : c.normalised) ASSERT_TRUE(fs::exists(dir / name)) << name;

        corpus.files("m0", {{"baseline/lts.aut", big}, {"standin/lts.t2.stdout", reversed(big)}});
        auto run = tolvern_with_file_limit(corpus, 1, args);
        EXPECT_EQ(reported(run), (std::map<std::string, Verdict>{{"m0", c.verdict}})) << c.category;
        for (const auto& name : c.normalised) EXPECT_FALSE(fs::exists(dir / name)) << name;
        EXPECT_TRUE(log_of(corpus, c.category, "m0").contains(c.note)) << c.category;
    }
}

TEST(OutputFiles, TwoStopSignalsBackToBackLeaveNoTemporaryFile) {
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) std::signal(signal, SIG_DFL);
    // A ring of 2,000 transitions makes each output file take a while to write. One model's
    // tool sleeps until it is killed, so that no pass ends before its stop, however fast the
    // machine: the stops land while the other models' files are being written.
    constexpr int MODELS = 400;
    std::vector<Edge> ring;
    for (unsigned i = 0; i < 2000; ++i) ring.push_back({i, i % 2 ? "a" : "b", (i + 1) % 2000});
    LtsCorpus corpus(MODELS, aut_text(2000, ring));
    corpus.model("stalled");
    corpus.files("stalled", {{"baseline/lts.aut", LOOP}, {"standin/lts.sleep", "600"}});
    // Each session is stopped at another point of its pass: once K of its logs exist.
    std::string points;
    for (int k = 1; k < MODELS; k += 30) points += " " + std::to_string(k);
    const std::string script =
        "set -m\n"
        "for k in" +
        points + "; do\n  find build -name log -delete 2>/dev/null\n  " + TOLVERN_BIN.string() +
        " --kestrin " + KESTRIN_STANDIN.string() + " --ltscompare " + LTSCOMPARE_STANDIN.string() +
        " -j 8 --category lts >/dev/null 2>&1 & pid=$!\n"
        "  until [ $(find build -name log 2>/dev/null | wc -l) -ge $k ] || ! kill -0 $pid; do\n"
        "    sleep 0.005\n"
        "  done\n"
        "  kill -HUP $pid; kill -TERM $pid; wait $pid\n"
        "  status=$?; find build -name '.*'\n"
        "  [ $status = 129 ] || [ $status = 143 ] || echo \"exit $status\"\n"
        "done\n";
    auto run = run_program("/bin/bash", {"-c", script}, corpus.root);
    EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace tolvern::testing
