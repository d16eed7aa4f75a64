// The record of what the stand-in was asked: one JSON line per run appended to the file named by
// KESTRIN_STANDIN_LOG, so that tests can check the exact command lines, input and environment.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "standin.hpp"

extern char** environ;

namespace standin {

namespace {

bool recorded_variable(std::string_view name) {
    for (std::string_view prefix : {"KES_", "TOLVERN_", "MODEL_DIR", "KESTRIN"})
        if (name.starts_with(prefix)) return true;
    return false;
}

nlohmann::ordered_json recorded_env() {
    auto env = nlohmann::ordered_json::object();
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view pair = *entry;
        auto eq = pair.find('=');
        if (eq == std::string_view::npos || !recorded_variable(pair.substr(0, eq))) continue;
        env[std::string(pair.substr(0, eq))] = std::string(pair.substr(eq + 1));
    }
    return env;
}

}  // namespace

void log_run(std::span<const std::string> args, const std::optional<std::string>& input) {
    const char* log = std::getenv("KESTRIN_STANDIN_LOG");
    if (log == nullptr || *log == '\0') return;
    std::error_code ignored;
    nlohmann::ordered_json record = {
        {"argv", args},
        {"cwd", fs::current_path(ignored).string()},
        {"stdin", input ? nlohmann::ordered_json(*input) : nlohmann::ordered_json()},
        {"env", recorded_env()},
    };
    // Invalid UTF-8 cannot be written as JSON; it is recorded with replacement characters.
    std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // One write on an O_APPEND descriptor keeps the lines of concurrent runs whole.
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, line);
    ::close(fd);
}

}  // namespace standin
