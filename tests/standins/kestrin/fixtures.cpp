// Fixture files: merging "{op}.{key}.{field}" and "{op}.{field}" over an operation's defaults
// into a plan, and carrying the plan out (delay, exact output bytes, then exit or signal).
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <thread>

#include "standin.hpp"

namespace standin {

namespace {

// The fixture file of a field: the keyed one wins over the unkeyed one.
std::optional<fs::path> fixture(const fs::path& dir, std::string_view op,
                                const std::optional<std::string>& key, std::string_view field) {
    if (dir.empty()) return std::nullopt;
    std::string stem(op);
    if (key) {
        auto keyed = dir / (stem + "." + *key + "." + std::string(field));
        if (is_file(keyed)) return keyed;
    }
    auto plain = dir / (stem + "." + std::string(field));
    if (is_file(plain)) return plain;
    return std::nullopt;
}

// A number field's value, parsed whole from the trimmed file content.
template <typename T>
std::expected<std::optional<T>, std::string> number_field(const std::optional<fs::path>& file) {
    if (!file) return std::nullopt;
    auto content = read_file(*file);
    if (!content) return std::unexpected(file->string() + ": cannot be read");
    auto text = trim(*content);
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    bool valid = error == std::errc() && end == text.data() + text.size() && !text.empty();
    if constexpr (std::is_floating_point_v<T>) valid = valid && std::isfinite(value) && value >= 0;
    if (!valid) return std::unexpected(file->string() + ": not a valid number: " + *content);
    return value;
}

// Kills the process with the signal; a signal whose default is to be ignored exits 128+N.
[[noreturn]] void die_by(int signal) {
    // The default action is restored and the signal unblocked, so that an inherited disposition
    // cannot keep the stand-in alive; no core file lands in the corpus.
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::kill(::getpid(), signal);
    _exit(128 + signal);
}

}  // namespace

std::expected<Plan, std::string> resolve_plan(const fs::path& fixtures, std::string_view op,
                                              const std::optional<std::string>& key,
                                              Bytes default_out, Bytes default_err) {
    auto field = [&](std::string_view name) { return fixture(fixtures, op, key, name); };
    Plan plan;
    auto out = field("stdout");
    plan.out = out ? Bytes{*out, {}} : std::move(default_out);
    auto err = field("stderr");
    plan.err = err ? Bytes{*err, {}} : std::move(default_err);

    auto exit = number_field<int>(field("exit"));
    if (!exit) return std::unexpected(exit.error());
    plan.exit = exit->value_or(0);
    auto signal = number_field<int>(field("signal"));
    if (!signal) return std::unexpected(signal.error());
    plan.signal = *signal;
    auto sleep = number_field<double>(field("sleep"));
    if (!sleep) return std::unexpected(sleep.error());
    plan.sleep = sleep->value_or(0.0);
    return plan;
}

void sleep_for(double seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void write_bytes(int fd, const Bytes& bytes) {
    if (bytes.file)
        stream_file(fd, *bytes.file);
    else
        write_all(fd, bytes.text);
}

void finish(const Plan& plan) {
    write_bytes(1, plan.out);
    write_bytes(2, plan.err);
    end(plan);
}

void end(const Plan& plan) {
    if (plan.signal) die_by(*plan.signal);
    _exit(plan.exit);
}

}  // namespace standin
