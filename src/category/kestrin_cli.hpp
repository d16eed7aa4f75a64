// kestrin's command-line interface as tolvern uses it: the argument vector of every operation it
// runs, in one place, and the invocation that runs one on a model. What kestrin receives is
// decided here and nowhere else.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"
#include "meta.hpp"
#include "model.hpp"
#include "runner.hpp"

namespace tolvern::category {

using Args = std::vector<std::string>;

// Appends "-q", "--queue-size-defer" and "--queue-size-external" with the set META values.
void push_queue_args(Args& args, const meta::MetaConfig& meta);

// "parse DISPLAY".
Args parse_args(std::string_view display);

// "[--threads=N] [-p] lts --full-lts -m NAME [-I DIR]... [queue options] DISPLAY": "-p" when
// META skips the well-formedness checks, one "-I" per import directory.
Args lts_args(const model::Model& model, std::optional<std::uint32_t> threads,
              std::span<const Path> import_dirs = {});

// "-v verify -k --full-lts -I MODEL_DIR -m NAME [queue options] DISPLAY".
Args verify_args(const model::Model& model);

// "simulate -m NAME DISPLAY": the batch simulator, fed the steps on standard input.
Args simulate_args(const model::Model& model);

// "trace": the JSON trail of the simulator output on standard input.
Args trace_args();

// "traces -m NAME --defer-origin -o DIR DISPLAY": the model's traces, generated into DIR.
Args traces_args(const model::Model& model, const Path& out_dir);

// "--output json simulate --repl [--flush] -m NAME DISPLAY": the REPL daemon.
Args repl_args(const model::Model& model, bool flush);

// "simulate --check-trace FILE -m NAME DISPLAY": a recorded trace replayed in one run.
Args check_trace_args(const model::Model& model, const Path& trace_file);

// "simulate -m NAME --defer-any-order --defer-origin --check-trace FILE DISPLAY": a trace that
// "traces" generated, checked back against the model.
Args check_generated_trace_args(const model::Model& model, const Path& trace_file);

// "inspect-ports --output json -m NAME DISPLAY": the model's port description.
Args inspect_ports_args(const model::Model& model);

// A kestrin run on the model: isolated environment, the model's working directory, no input.
runner::Invocation kestrin_invocation(const Path& kestrin, const model::Model& model, Args args,
                                      Duration timeout);

// The check-trace run, as both the one-shot and the per-step eligible passes make it.
runner::Invocation check_trace_invocation(const Path& kestrin, const model::Model& model,
                                          const Path& trace_file, Duration timeout);

}  // namespace tolvern::category
