// The part of the table of live children that only posix.cpp and its tests use: the slot that a
// start holds STARTING from its claim until it names its child's pid.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

namespace tolvern::posix {

// A slot for a start, STARTING; none when every slot is taken or no start may begin.
std::optional<std::size_t> claim_slot();
// Puts the started child's pid in the slot its start claimed.
void name_pid(std::size_t slot, pid_t pid);

}  // namespace tolvern::posix
