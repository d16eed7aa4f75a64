// The fuzzing driver linked with each harness in place of libFuzzer: it replays every input of
// the corpus directories, then mutates inputs until the time is up, keeps those that reach new
// code, and saves any input that crashes the harness, trips a sanitizer or hangs. Its options are
// a subset of libFuzzer's, so scripts and corpora work with either:
//   TARGET [-max_total_time=S] [-runs=N] [-seed=N] [-max_len=N] [-timeout=S] [-dict=FILE]
//          [-artifact_prefix=P] DIR...   (new inputs are written to the first DIR)
//   TARGET FILE...                       (runs each file once)
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "coverage.hpp"
#include "mutator.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::uint64_t max_total_time = 0;
    std::optional<std::uint64_t> runs;
    std::uint64_t seed = 0;
    std::size_t max_len = 4096;
    std::uint64_t timeout = 10;
    std::string dict;
    std::string artifact_prefix = "./";
    std::vector<std::string> paths;
};

[[noreturn]] void usage_error(std::string_view message) {
    std::fprintf(stderr, "fuzz: %.*s\n", static_cast<int>(message.size()), message.data());
    std::exit(2);
}

std::uint64_t number(std::string_view value, std::string_view option) {
    std::uint64_t parsed = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (value.empty() || error != std::errc{} || end != value.data() + value.size())
        usage_error("bad number for -" + std::string(option));
    return parsed;
}

Options parse_options(int argc, char** argv) {
    Options options;
    options.seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (!arg.starts_with('-')) {
            options.paths.emplace_back(arg);
            continue;
        }
        auto equals = arg.find('=');
        if (equals == std::string_view::npos) usage_error("unknown option " + std::string(arg));
        auto name = arg.substr(1, equals - 1);
        auto value = arg.substr(equals + 1);
        if (name == "max_total_time")
            options.max_total_time = number(value, name);
        else if (name == "runs")
            options.runs = number(value, name);
        else if (name == "seed")
            options.seed = number(value, name);
        else if (name == "max_len")
            options.max_len = number(value, name);
        else if (name == "timeout")
            options.timeout = number(value, name);
        else if (name == "dict")
            options.dict = value;
        else if (name == "artifact_prefix")
            options.artifact_prefix = value;
        else
            usage_error("unknown option " + std::string(arg));
    }
    return options;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// libFuzzer's dictionary format: one "quoted" token per line, optionally name="...", with \\,
// \" and \xNN escapes; "#" starts a comment line.
std::vector<std::string> read_dictionary(const std::string& path) {
    std::vector<std::string> tokens;
    std::ifstream in(path);
    if (!in) usage_error("cannot read dictionary " + path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        auto open = line.find('"');
        if (line.empty() || line.front() == '#' || open == std::string::npos) continue;
        auto close = line.rfind('"');
        if (close == open) usage_error(path + ":" + std::to_string(number) + ": unclosed token");
        std::string token;
        for (auto i = open + 1; i < close; ++i) {
            if (line[i] != '\\' || i + 1 >= close) {
                token += line[i];
            } else if (line[i + 1] == 'x' && i + 3 < close) {
                token += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else {
                token += line[++i];
            }
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::uint64_t fnv1a(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3u;
    return hash;
}

std::string hex(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// What the signal handlers and the sanitizers' death callback need: set before every run.
struct Current {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    Clock::time_point started;
    bool running = false;
};
Current current;
std::string artifact_prefix;
std::uint64_t timeout_seconds = 0;
bool save_inputs = true;  // not when the inputs are files already

// Writes the input being run to {prefix}{kind}-{hash}; only async-signal-safe calls.
void save_current(const char* kind) {
    if (!save_inputs) return;
    char path[4096];
    std::size_t length = 0;
    auto append = [&](const char* text) {
        for (; *text != '\0' && length + 1 < sizeof path; ++text) path[length++] = *text;
    };
    append(artifact_prefix.c_str());
    append(kind);
    append("-");
    auto hash = fnv1a(current.data, current.size);
    char digits[17];
    for (int i = 15; i >= 0; --i, hash >>= 4) digits[i] = "0123456789abcdef"[hash & 0xF];
    digits[16] = '\0';
    append(digits);
    path[length] = '\0';
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        for (std::size_t done = 0; done < current.size;) {
            auto wrote = write(fd, current.data + done, current.size - done);
            if (wrote <= 0) break;
            done += static_cast<std::size_t>(wrote);
        }
        close(fd);
    }
    constexpr char saved[] = "\nfuzz: input saved to ";
    (void)!write(STDERR_FILENO, saved, sizeof saved - 1);
    (void)!write(STDERR_FILENO, path, length);
    (void)!write(STDERR_FILENO, "\n", 1);
}

void on_death() {
    if (current.running) save_current("crash");
}

void on_abort(int signal_number) {
    if (current.running) save_current("crash");
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// A one-second tick that ends a run which has taken longer than the time-out.
void on_tick(int) {
    if (!current.running || Clock::now() - current.started < std::chrono::seconds(timeout_seconds))
        return;
    constexpr char message[] = "\nfuzz: time-out: an input ran too long";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    save_current("timeout");
    _exit(70);
}

void install_handlers() {
    __sanitizer_set_death_callback(on_death);
    struct sigaction action {};
    action.sa_handler = on_abort;
    sigaction(SIGABRT, &action, nullptr);
    action.sa_handler = on_tick;
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    itimerval tick{{1, 0}, {1, 0}};
    setitimer(ITIMER_REAL, &tick, nullptr);
}

// Runs the harness on a private copy of exactly the input's size, so that reading past its
// end is caught; true when the run reached code no earlier run did.
bool run(std::string_view input) {
    auto copy = std::make_unique<std::uint8_t[]>(input.size());
    std::memcpy(copy.get(), input.data(), input.size());
    fuzz::coverage::reset();
    current.data = copy.get();
    current.size = input.size();
    current.started = Clock::now();
    current.running = true;
    LLVMFuzzerTestOneInput(copy.get(), input.size());
    current.running = false;
    return fuzz::coverage::merge_new();
}

struct Corpus {
    std::vector<std::string> inputs;
    std::unordered_set<std::uint64_t> hashes;
    std::optional<fs::path> output;  // where new inputs are written

    bool add(std::string input) {
        auto hash = fnv1a(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        if (!hashes.insert(hash).second) return false;
        if (output) std::ofstream(*output / hex(hash), std::ios::binary) << input;
        inputs.push_back(std::move(input));
        return true;
    }
};

int replay_files(const std::vector<std::string>& files) {
    save_inputs = false;
    for (const auto& file : files) run(read_file(file));
    std::fprintf(stderr, "fuzz: ran %zu input(s) without a fault\n", files.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parse_options(argc, argv);
    artifact_prefix = options.artifact_prefix;
    timeout_seconds = std::max<std::uint64_t>(options.timeout, 1);
    install_handlers();

    std::vector<std::string> files;
    std::vector<fs::path> dirs;
    for (const auto& path : options.paths) {
        if (fs::is_directory(path))
            dirs.emplace_back(path);
        else if (fs::is_regular_file(path))
            files.push_back(path);
        else
            usage_error("no such file or directory: " + path);
    }
    if (!files.empty()) {
        if (!dirs.empty()) usage_error("give either corpus directories or input files");
        return replay_files(files);
    }

    fuzz::Mutator mutator{std::mt19937_64(options.seed), {}};
    if (!options.dict.empty()) mutator.dictionary = read_dictionary(options.dict);
    std::fprintf(stderr, "fuzz: seed %llu, %zu dictionary token(s)\n",
                 static_cast<unsigned long long>(options.seed), mutator.dictionary.size());

    // The seeds are replayed in a fixed order and all kept, whether or not they add coverage.
    Corpus corpus;
    std::vector<fs::path> seeds;
    for (const auto& dir : dirs)
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file()) seeds.push_back(entry.path());
    std::sort(seeds.begin(), seeds.end());
    for (const auto& seed : seeds) {
        auto input = read_file(seed);
        run(input);
        corpus.add(std::move(input));
    }
    run("");
    corpus.add("");
    auto replayed = corpus.inputs.size();
    if (!dirs.empty()) corpus.output = dirs.front();

    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(options.max_total_time);
    std::uint64_t runs = 0;
    while (options.runs ? runs < *options.runs : Clock::now() < deadline) {
        auto input = corpus.inputs[mutator.below(corpus.inputs.size())];
        mutator.mutate(input, corpus.inputs, options.max_len);
        ++runs;
        if (run(input)) corpus.add(std::move(input));
    }
    auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr,
                 "fuzz: %zu seed(s) replayed, then %llu runs in %.0f s (%.0f/s); corpus %zu "
                 "(+%zu), coverage %zu\n",
                 replayed, static_cast<unsigned long long>(runs), seconds,
                 seconds > 0 ? static_cast<double>(runs) / seconds : 0.0, corpus.inputs.size(),
                 corpus.inputs.size() - replayed, fuzz::coverage::points());
    return 0;
}
