// Linked into every program of a thread-sanitizer build, nowhere else. oneTBB hands tasks and
// their memory between threads inside its shared library, which the sanitizer does not see into,
// so each hand-off would look like a race in the code around it. These definitions take the
// place of the library entry points that the pool's inline code calls, tell the sanitizer that
// the calls order the threads, and forward to the library.
#include <dlfcn.h>
#include <oneapi/tbb/detail/_small_object_pool.h>
#include <oneapi/tbb/detail/_task.h>
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <cstdlib>

namespace {

// One token for every hand-off: the order it adds is coarser than the pool's own, so it can hide
// a race between tasks that ran one after the other, never report a false one.
char token;

void handoff() {
    __tsan_acquire(&token);
    __tsan_release(&token);
}

// The library's own definition of a symbol that this file replaces.
template <typename Function>
Function* library_entry(const char* symbol) {
    void* entry = dlsym(RTLD_NEXT, symbol);
    if (entry == nullptr) {
        std::fprintf(stderr, "tbb_handoff: %s not found in the pool library\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function*>(entry);
}

// Calls the library's definition with a hand-off before and after.
template <typename Function, typename... Args>
auto forward(const char* symbol, Args&&... args) {
    static Function* entry = library_entry<Function>(symbol);
    handoff();
    struct After {
        ~After() { handoff(); }
    } after;
    return entry(std::forward<Args>(args)...);
}

}  // namespace

namespace tbb::detail::r1 {

void spawn(d1::task& t, d1::task_group_context& ctx) {
    forward<void(d1::task&, d1::task_group_context&)>(
        "_ZN3tbb6detail2r15spawnERNS0_2d14taskERNS2_18task_group_contextE", t, ctx);
}

void spawn(d1::task& t, d1::task_group_context& ctx, d1::slot_id id) {
    forward<void(d1::task&, d1::task_group_context&, d1::slot_id)>(
        "_ZN3tbb6detail2r15spawnERNS0_2d14taskERNS2_18task_group_contextEt", t, ctx, id);
}

void execute_and_wait(d1::task& t, d1::task_group_context& t_ctx, d1::wait_context& wait_ctx,
                      d1::task_group_context& w_ctx) {
    forward<void(d1::task&, d1::task_group_context&, d1::wait_context&, d1::task_group_context&)>(
        "_ZN3tbb6detail2r116execute_and_waitERNS0_2d14taskERNS2_18task_group_contextERNS2_12wait_"
        "contextES6_",
        t, t_ctx, wait_ctx, w_ctx);
}

void wait(d1::wait_context& wait_ctx, d1::task_group_context& ctx) {
    forward<void(d1::wait_context&, d1::task_group_context&)>(
        "_ZN3tbb6detail2r14waitERNS0_2d112wait_contextERNS2_18task_group_contextE", wait_ctx, ctx);
}

// Every parallel_for task asks for its slot first, before it touches its range or body.
d1::slot_id execution_slot(const d1::execution_data* ed) {
    return forward<d1::slot_id(const d1::execution_data*)>(
        "_ZN3tbb6detail2r114execution_slotEPKNS0_2d114execution_dataE", ed);
}

void* allocate(d1::small_object_pool*& pool, std::size_t bytes, const d1::execution_data& ed) {
    return forward<void*(d1::small_object_pool*&, std::size_t, const d1::execution_data&)>(
        "_ZN3tbb6detail2r18allocateERPNS0_2d117small_object_poolEmRKNS2_14execution_dataE", pool,
        bytes, ed);
}

void* allocate(d1::small_object_pool*& pool, std::size_t bytes) {
    return forward<void*(d1::small_object_pool*&, std::size_t)>(
        "_ZN3tbb6detail2r18allocateERPNS0_2d117small_object_poolEm", pool, bytes);
}

void deallocate(d1::small_object_pool& pool, void* ptr, std::size_t bytes,
                const d1::execution_data& ed) {
    forward<void(d1::small_object_pool&, void*, std::size_t, const d1::execution_data&)>(
        "_ZN3tbb6detail2r110deallocateERNS0_2d117small_object_poolEPvmRKNS2_14execution_dataE",
        pool, ptr, bytes, ed);
}

void deallocate(d1::small_object_pool& pool, void* ptr, std::size_t bytes) {
    forward<void(d1::small_object_pool&, void*, std::size_t)>(
        "_ZN3tbb6detail2r110deallocateERNS0_2d117small_object_poolEPvm", pool, ptr, bytes);
}

}  // namespace tbb::detail::r1
