// Model discovery: the corpus under "test-models" and "test/parse" (and the vorlan component
// list when asked), the baselines of every model, the order, the name filter, the catalogue
// line and which models each category accepts.
#pragma once

#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::discovery {

// The --root path as the prefix that "test-models" and "test/parse" are joined onto ("" for
// "." and "./"; one leading "./" dropped).
std::string root_prefix(const Path& root);

// Every model, sorted (corpus models by name, then the vorlan models by name), or the one line
// of the failure to print.
std::expected<std::vector<model::Model>, std::string> discover(std::string_view root_prefix,
                                                               std::span<const Category> categories,
                                                               const config::VorlanConfig& vorlan);

model::Baselines resolve_baselines(const Path& dir, std::string_view stem);

// A test-models model's kind from its directory name.
Category kind_of(std::string_view name);

// Whether --filter's pattern keeps the model name.
bool filter_matches(std::string_view pattern, std::string_view name);

// Whether a pass of the category checks the model.
bool accepts(Category category, const model::Model& model);

// The --list line of a model, without its line break (control characters of the name escaped).
std::string catalogue_line(const model::Model& model);

}  // namespace tolvern::discovery
