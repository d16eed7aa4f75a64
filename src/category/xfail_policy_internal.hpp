// The part of the marker policy that only xfail_policy.cpp and its tests use: the marker rule
// itself, which every check reaches through settle.
#pragma once

#include <filesystem>

#include "kinds.hpp"
#include "reporter.hpp"

namespace tolvern::category {

// Sets the marker flag when baseline/{category}.xfail is a regular file in the model
// directory, and then turns FAIL and TIMEOUT into XFAIL.
ModelResult apply_xfail_marker(const Path& model_dir, ModelResult result);

}  // namespace tolvern::category
