// Removal of a file or directory tree that never follows a link and holds a few descriptors at any
// depth, for the scratch that a run leaves.
#pragma once

#include "kinds.hpp"

namespace tolvern::files {

// Removes the file, link or directory tree at `path`, the owner's rights given back on each
// directory so that parts made read-only go too. A link, at the root or below, is removed, never
// what it names. An entry that is gone already is no failure, as another remover may be clearing
// the same tree; on any other failure the rest is left rather than tried again.
void remove_tree(const Path& path);

}  // namespace tolvern::files
