// One discovered model: where it lives, how kestrin is pointed at it, its META settings and the
// golden and sidecar files resolved at discovery.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "kinds.hpp"
#include "meta.hpp"

namespace tolvern::model {

struct Baselines {
    std::optional<Path> lts;
    std::optional<Path> verify;
    std::optional<Path> parse;
    std::optional<Path> verify_txt;
    std::optional<Path> wfc;
    std::optional<Path> wfc_accept;
    std::optional<Path> expect;
    bool lts_overridden = false;
    bool verify_overridden = false;
    bool parse_overridden = false;
};

struct Model {
    Path dir;             // the model directory, holding baseline/
    std::string name;     // reported name
    Path source;          // dir/NAME.svk (also for run.sh-only models)
    std::string display;  // root-relative source path handed to kestrin
    Path workdir;         // kestrin's working directory (the canonical root)
    Baselines baselines;
    meta::MetaConfig meta;
    Category kind = Category::Lts;
};

}  // namespace tolvern::model
