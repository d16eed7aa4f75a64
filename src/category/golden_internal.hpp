// The parts of the golden-file helpers that only golden.cpp and its tests use: the pure text
// functions behind the path-taking ones.
#pragma once

#include <filesystem>
#include <string_view>

#include "kinds.hpp"
#include "render/judge.hpp"

namespace tolvern::category {

// "{golden}.stderr.override" when it exists, else "{golden}.stderr".
Path stderr_golden_path(const Path& golden);
// The class of a sidecar text (pure part of judge_class).
kestrin::render::judge::Classification judge_class_of(std::string_view sidecar);
// Pure parts of baseline_ends_in_verdict and baseline_ends_in_match.
bool text_ends_in_verdict(std::string_view golden_text);
bool text_ends_in_match(std::string_view golden_text);

}  // namespace tolvern::category
