// The kestrin stand-in: recognises kestrin's command lines as tolvern sends them, finds the model
// directory and the operation's fixture key, and answers from the corpus (see README.md).
#include <signal.h>

#include <array>
#include <nlohmann/json.hpp>

#include "standin.hpp"

namespace standin {

namespace {

using namespace std::string_view_literals;

enum class Op { Parse, Lts, InspectPorts, Verify, Simulate, CheckTrace, Trace, Traces, Repl };

// What a command line asks for; options the stand-in has no use for are dropped.
struct Request {
    Op op = Op::Parse;
    std::string display;                 // the model path, the last positional argument
    std::optional<std::string> threads;  // --threads=N
    std::optional<std::string> trace;    // --check-trace FILE
    std::optional<std::string> out_dir;  // -o DIR
};

// Options followed by a value; every other option is taken to be a flag.
constexpr std::array VALUE_OPTIONS = {
    "-m"sv,       "-q"sv, "--queue-size-defer"sv, "--queue-size-external"sv,
    "-I"sv,       "-o"sv, "--output"sv,           "--check-trace"sv,
    "--threads"sv};

std::optional<Op> command_op(std::string_view word, bool repl, bool check_trace) {
    if (word == "parse") return Op::Parse;
    if (word == "lts") return Op::Lts;
    if (word == "verify") return Op::Verify;
    if (word == "inspect-ports") return Op::InspectPorts;
    if (word == "trace") return Op::Trace;
    if (word == "traces") return Op::Traces;
    if (word == "simulate") return repl ? Op::Repl : check_trace ? Op::CheckTrace : Op::Simulate;
    return std::nullopt;
}

// The first of the paths that exists, else the last (which then prints nothing).
Bytes first_file(std::initializer_list<fs::path> paths) {
    for (auto& path : paths)
        if (is_file(path)) return {path, {}};
    return {*std::prev(paths.end()), {}};
}

// What kestrin would print when no trace is recognised: the events of the input as the trail.
std::string synthetic_trail(std::string_view input) {
    std::string trail = "(trail";
    for (auto line : split_lines(input)) {
        line = trim(line);
        if (!line.empty() && !line.starts_with("(state")) trail += " \"" + std::string(line) + "\"";
    }
    return trail + ")\n";
}

std::string lines_as_json(std::string_view input) {
    auto array = nlohmann::json::array();
    for (auto line : split_lines(input)) array.push_back(std::string(line));
    return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Where fixtures are looked up, under which key, and the operation's default streams.
struct Answer {
    fs::path model_dir;  // empty: no model, so no fixtures
    std::optional<std::string> key;
    Bytes out;
    Bytes err;
};

// Simulating trace X prints its golden simulation and the golden's standard error.
Answer golden_simulation(const fs::path& model_dir, const std::string& name) {
    auto golden = model_dir / "baseline" / ("simulate." + name);
    return {model_dir, name, {golden, {}}, {fs::path(golden.string() + ".stderr"), {}}};
}

// "tolvern_elig_{model}_{X}_{K}_{tag}.trace", model being the model directory's name and the tag
// what makes the file its run's own: X and K.
std::optional<std::pair<std::string, std::uint64_t>> prefix_trace(const fs::path& model_dir,
                                                                  std::string_view file) {
    auto head = "tolvern_elig_" + model_dir.filename().string() + "_";
    if (!file.starts_with(head) || !file.ends_with(".trace")) return std::nullopt;
    auto middle = file.substr(head.size(), file.size() - head.size() - 6);
    auto tag = middle.rfind('_');
    if (tag == std::string_view::npos) return std::nullopt;
    middle = middle.substr(0, tag);
    auto cut = middle.rfind('_');
    if (cut == std::string_view::npos) return std::nullopt;
    auto step = parse_u64(middle.substr(cut + 1));
    if (!step) return std::nullopt;
    return std::pair{std::string(middle.substr(0, cut)), *step};
}

Answer check_trace_answer(const fs::path& model_dir, const fs::path& trace) {
    auto file = trace.filename().string();
    if (file.starts_with("trace.")) return golden_simulation(model_dir, file.substr(6));
    if (auto prefix = prefix_trace(model_dir, file)) {
        auto& [name, step] = *prefix;
        auto golden = eligible_golden(model_dir, name, step);
        return {model_dir, name + "." + std::to_string(step), {golden, {}}, {}};
    }
    return {model_dir, file, {}, {}};
}

Answer answer(const Request& request, const std::optional<std::string>& input) {
    fs::path model = fs::path(request.display).parent_path();
    if (model.empty()) model = ".";
    auto baseline = model / "baseline";
    switch (request.op) {
        case Op::Parse:
            return {model, {}, first_file({baseline / "parse.override", baseline / "parse"}), {}};
        case Op::Lts:
            return {model,
                    request.threads ? std::optional("t" + *request.threads) : std::nullopt,
                    first_file({baseline / "lts.override.aut", baseline / "lts.aut"}),
                    {}};
        case Op::InspectPorts: return {model, {}, {{}, "{\"ports\":[]}\n"}, {}};
        case Op::Verify:
            return {model, {}, first_file({baseline / "verify.override", baseline / "verify"}), {}};
        case Op::Simulate:
            if (auto name = trace_with_bytes(model, *input)) return golden_simulation(model, *name);
            return {model, {}, {{}, synthetic_trail(*input)}, {}};
        case Op::CheckTrace: return check_trace_answer(model, *request.trace);
        case Op::Trace:
            if (auto found = simulation_with_bytes(fs::path("."), *input)) {
                auto json = found->model_dir / "baseline" / ("simulate-json." + found->name);
                if (is_file(json)) return {found->model_dir, found->name, {json, {}}, {}};
                return {found->model_dir, found->name, {{}, lines_as_json(*input)}, {}};
            }
            return {{}, {}, {{}, lines_as_json(*input)}, {}};
        case Op::Traces:
        case Op::Repl: return {model, {}, {}, {}};
    }
    return {};
}

// The files "traces" generates: every regular file of the fixture directory "traces".
std::expected<void, std::string> copy_traces(const fs::path& model_dir, const fs::path& out) {
    std::error_code error;
    fs::create_directories(out, error);
    if (error) return std::unexpected(out.string() + ": " + error.message());
    for (fs::directory_iterator it(model_dir / "standin" / "traces", error), end;
         !error && it != end; it.increment(error)) {
        if (!is_file(it->path())) continue;
        fs::copy_file(it->path(), out / it->path().filename(), fs::copy_options::overwrite_existing,
                      error);
        if (error) return std::unexpected(it->path().string() + ": " + error.message());
    }
    return {};
}

// The fixture prefix of an operation.
std::string_view op_name(Op op) {
    switch (op) {
        case Op::Parse: return "parse";
        case Op::Lts: return "lts";
        case Op::InspectPorts: return "inspect-ports";
        case Op::Verify: return "verify";
        case Op::Simulate: return "simulate";
        case Op::CheckTrace: return "check-trace";
        case Op::Trace: return "trace";
        case Op::Traces: return "traces";
        case Op::Repl: return "repl";
    }
    return "";
}

std::expected<Request, std::string> parse_args(std::span<const std::string> args) {
    Request request;
    std::optional<std::string> command;
    std::vector<std::string> positionals;
    bool repl = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (!arg.starts_with('-') || arg == "-") {
            if (!command && command_op(arg, false, false))
                command = arg;
            else
                positionals.emplace_back(arg);
            continue;
        }
        auto eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        auto name = arg.substr(0, eq);
        if (name == "--repl") repl = true;
        // Other flags, and options unknown here, are taken to have no value.
        if (std::ranges::find(VALUE_OPTIONS, name) == VALUE_OPTIONS.end()) continue;
        std::string value;
        if (eq != std::string_view::npos)
            value = arg.substr(eq + 1);
        else if (i + 1 < args.size())
            value = args[++i];
        else
            return std::unexpected("option " + std::string(name) + " needs a value");
        if (name == "--threads") request.threads = value;
        if (name == "--check-trace") request.trace = value;
        if (name == "-o") request.out_dir = value;
    }
    if (!command) return std::unexpected("no command (parse, lts, verify, simulate, ...)");
    request.op = *command_op(*command, repl, request.trace.has_value());
    if (request.op == Op::Trace) return request;
    if (positionals.empty()) return std::unexpected("no model path after " + *command);
    request.display = positionals.back();
    if (request.op == Op::Traces && !request.out_dir) return std::unexpected("traces needs -o DIR");
    return request;
}

}  // namespace

}  // namespace standin

int main(int argc, char** argv) {
    using namespace standin;
    // A reader that went away ends the output, not the run.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    auto request = parse_args(args);
    if (!request) {
        log_run(args, std::nullopt);
        fail(request.error());
    }
    std::optional<std::string> input;
    if (request->op == Op::Simulate || request->op == Op::Trace) input = read_all(0);
    if (request->op != Op::Repl) log_run(args, input);

    auto found = answer(*request, input);
    auto fixtures = found.model_dir.empty() ? fs::path() : found.model_dir / "standin";
    auto plan = resolve_plan(fixtures, op_name(request->op), found.key, std::move(found.out),
                             std::move(found.err));
    if (!plan) fail(plan.error());
    sleep_for(plan->sleep);
    if (request->op == Op::Repl) run_repl(found.model_dir, request->display, *plan, args);
    if (request->op == Op::Traces)
        if (auto copied = copy_traces(found.model_dir, *request->out_dir); !copied)
            fail(copied.error());
    finish(*plan);
}
