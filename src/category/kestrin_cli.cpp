// kestrin's command-line interface: one function per operation. NAME is always the tool model
// name and DISPLAY the model's root-relative source path; paths are given as kestrin, running in
// the model's root, must read them.
#include "category/kestrin_cli.hpp"

#include <utility>

#include "category/common.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

std::string name_of(const model::Model& model) {
    return std::string(tool_model_name(model.name));
}

}  // namespace

void push_queue_args(Args& args, const meta::MetaConfig& meta) {
    auto push = [&](std::string_view option, const std::optional<std::uint32_t>& value) {
        if (!value) return;
        args.emplace_back(option);
        args.push_back(std::to_string(*value));
    };
    push("-q", meta.queue_size);
    push("--queue-size-defer", meta.queue_size_defer);
    push("--queue-size-external", meta.queue_size_external);
}

Args parse_args(std::string_view display) {
    return {"parse", std::string(display)};
}

Args lts_args(const model::Model& model, std::optional<std::uint32_t> threads,
              std::span<const Path> import_dirs) {
    Args args;
    if (threads) args.push_back("--threads=" + std::to_string(*threads));
    if (model.meta.skip_wfc) args.emplace_back("-p");
    args.insert(args.end(), {"lts", "--full-lts", "-m", name_of(model)});
    // Relative import directories name places from here, not from the component's directory
    // where kestrin runs.
    std::error_code ignored;
    for (const auto& dir : import_dirs)
        args.insert(args.end(), {"-I", path_arg(std::filesystem::absolute(dir, ignored))});
    push_queue_args(args, model.meta);
    args.push_back(model.display);
    return args;
}

Args verify_args(const model::Model& model) {
    Args args = {"-v",         "verify",      "-k",
                 "--full-lts", "-I",          path_arg(from_workdir(model.dir, model.workdir)),
                 "-m",         name_of(model)};
    push_queue_args(args, model.meta);
    args.push_back(model.display);
    return args;
}

Args simulate_args(const model::Model& model) {
    return {"simulate", "-m", name_of(model), model.display};
}

Args trace_args() {
    return {"trace"};
}

Args traces_args(const model::Model& model, const Path& out_dir) {
    return {"traces",     "-m", name_of(model), "--defer-origin", "-o", text::lossy(out_dir),
            model.display};
}

Args repl_args(const model::Model& model, bool flush) {
    Args args = {"--output", "json", "simulate", "--repl"};
    if (flush) args.emplace_back("--flush");
    args.insert(args.end(), {"-m", name_of(model), model.display});
    return args;
}

Args check_trace_args(const model::Model& model, const Path& trace_file) {
    return {"simulate", "--check-trace", text::lossy(from_workdir(trace_file, model.workdir)),
            "-m",       name_of(model),  model.display};
}

Args check_generated_trace_args(const model::Model& model, const Path& trace_file) {
    return {"simulate",
            "-m",
            name_of(model),
            "--defer-any-order",
            "--defer-origin",
            "--check-trace",
            text::lossy(trace_file),
            model.display};
}

Args inspect_ports_args(const model::Model& model) {
    return {"inspect-ports", "--output", "json", "-m", name_of(model), model.display};
}

runner::Invocation kestrin_invocation(const Path& kestrin, const model::Model& model, Args args,
                                      Duration timeout) {
    return runner::Invocation{kestrin,       std::move(args), isolated_env(),
                              model.workdir, std::nullopt,    timeout};
}

runner::Invocation check_trace_invocation(const Path& kestrin, const model::Model& model,
                                          const Path& trace_file, Duration timeout) {
    return kestrin_invocation(kestrin, model, check_trace_args(model, trace_file), timeout);
}

}  // namespace tolvern::category
