// How wide the worker pool may be: as wide as asked, but never wider than this process can run.
// Every worker may hold one child at a time (two for a misc script), with its pipes and a file of
// its own; every worker thread and child counts against the user's limit on processes, and every
// worker thread takes address space for its stack and its allocator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvern {

// The widest pool: more children at once than any machine has processors for, and few enough
// threads for every platform's per-process limit.
inline constexpr std::size_t MAX_JOBS = 256;
// The descriptors one worker may hold at once: four pipes while its child starts, the child's
// process descriptor and one file; and those the process keeps for itself.
inline constexpr std::uint64_t DESCRIPTORS_PER_WORKER = 10;
inline constexpr std::uint64_t DESCRIPTORS_RESERVED = 32;

// The pool width for the requested worker count under an open-file limit: at least 1, at most
// MAX_JOBS, and no more workers than the limit has room for.
std::size_t pool_width(std::size_t requested, std::uint64_t open_file_limit);
// The same under this process's own open-file limit.
std::size_t pool_width(std::size_t requested);

// The width within `available` threads or processes: each worker but the calling thread is a
// thread, and each worker may run `processes` at once, which count against the same limit.
// 0 when not even one worker's processes could run.
std::size_t width_within(std::size_t width, std::size_t available, std::size_t processes);

// The address space that the allocator (mimalloc, process-wide) maps for a thread's heap when the
// thread first allocates: one segment, 32 MiB on 64-bit systems.
inline constexpr std::uint64_t HEAP_PER_THREAD = std::uint64_t{32} << 20;
// What a worker thread maps beyond its stack: its heap, and guard pages and the per-thread records
// of the allocator and the pool library (about 150 KiB, as measured on Linux).
inline constexpr std::uint64_t ADDRESS_SPACE_PER_THREAD = HEAP_PER_THREAD + (256 << 10);
// The address space kept free beside the worker threads': the heaps of the process's other
// threads (the signal watcher and the output writer) and the peaks of the main work (up to one
// more heap segment, as measured).
inline constexpr std::uint64_t ADDRESS_SPACE_RESERVED = 2 * HEAP_PER_THREAD + (64 << 20);

struct Room {
    std::size_t count = 0;
    int error = 0;  // why one more did not fit
};
// How many threads this process can start now, trying up to `wanted` of them at once; they end
// before it returns. Under a limit on processes (RLIMIT_NPROC) that is fewer than wanted.
Room thread_room(std::size_t wanted);
// The widest pool up to `width` whose worker threads (all but the calling thread), each taking
// `per_thread` bytes, fit in the address space free now with ADDRESS_SPACE_RESERVED to spare:
// `width` under no limit on address space (RLIMIT_AS), 0 when not even the reserve fits.
Room address_space_room(std::size_t width, std::uint64_t per_thread);

}  // namespace tolvern
