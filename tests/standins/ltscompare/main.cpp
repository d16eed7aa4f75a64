// Stand-in for the LTS comparator that tolvern runs: checks `left <= right` in the weak-failures
// preorder on two .aut files, prints "true" or "false" as its last line and writes a
// counterexample trace when asked. Bad input goes to standard error with exit status 1.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "aut.hpp"
#include "preorder.hpp"

namespace {

constexpr std::string_view USAGE =
    "usage: ltscompare -pweak-failures [-c] [--counter-example-file=FILE] [--tau=a,b,...] "
    "LEFT.aut RIGHT.aut\n";

struct Options {
    std::string counterexample_file;
    std::vector<std::string> files;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "ltscompare: %s\n", message.c_str());
    return 1;
}

int usage_error(const std::string& message) {
    fail(message);
    std::fputs(USAGE.data(), stderr);
    return 1;
}

bool read_file(const std::string& path, std::string& bytes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    bool ok = std::ferror(file) == 0;
    if (!ok) error = path + ": " + std::strerror(errno);
    std::fclose(file);
    return ok;
}

std::string quoted(const ltscompare::Labels& labels, ltscompare::Label label) {
    return "\"" + labels.names[label] + "\"";
}

std::string joined(const ltscompare::Labels& labels, const std::vector<ltscompare::Label>& list) {
    std::string text;
    for (auto label : list) text += (text.empty() ? "" : " ") + quoted(labels, label);
    return text;
}

bool write_trace(const std::string& path, const ltscompare::Labels& labels,
                 const std::vector<ltscompare::Label>& trace) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    for (auto label : trace) std::fprintf(file, "%s\n", quoted(labels, label).c_str());
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    ltscompare::Labels labels;
    bool preorder = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-pweak-failures" || arg == "--preorder=weak-failures") {
            preorder = true;
        } else if (arg.starts_with("-p") || arg.starts_with("--preorder=")) {
            return fail("unsupported preorder in " + std::string(arg) +
                        "; only weak-failures is implemented");
        } else if (arg == "-c" || arg == "--counter-example") {
            // The counterexample goes to the named file; nothing else to switch on.
        } else if (arg.starts_with("--counter-example-file=")) {
            options.counterexample_file = arg.substr(arg.find('=') + 1);
        } else if (arg.starts_with("--tau=")) {
            std::string_view list = arg.substr(6);
            while (!list.empty()) {
                auto comma = list.find(',');
                if (auto name = list.substr(0, comma); !name.empty()) labels.hidden.emplace(name);
                list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
            }
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE.data(), stdout);
            return 0;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return usage_error("unknown option " + std::string(arg));
        } else {
            options.files.emplace_back(arg);
        }
    }
    if (!preorder) return usage_error("no preorder given (-pweak-failures)");
    if (options.files.size() != 2) return usage_error("two .aut files expected");

    std::vector<ltscompare::Lts> systems;
    for (const auto& path : options.files) {
        std::string text, error;
        if (!read_file(path, text, error)) return fail("cannot read " + error);
        auto lts = ltscompare::parse_aut(text, labels);
        if (!lts) return fail(path + ": " + lts.error());
        systems.push_back(std::move(*lts));
    }

    auto counterexample = ltscompare::weak_failures_counterexample(systems[0], systems[1]);
    if (!counterexample) {
        std::puts("true");
        return 0;
    }
    if (counterexample->offers)
        std::printf("after the trace [%s] left can stably offer only {%s}; right cannot\n",
                    joined(labels, counterexample->trace).c_str(),
                    joined(labels, *counterexample->offers).c_str());
    else
        std::printf("the trace [%s] of left is not a weak trace of right\n",
                    joined(labels, counterexample->trace).c_str());
    std::puts("false");
    if (!options.counterexample_file.empty() &&
        !write_trace(options.counterexample_file, labels, counterexample->trace))
        return fail("cannot write " + options.counterexample_file + ": " + std::strerror(errno));
    return 0;
}
