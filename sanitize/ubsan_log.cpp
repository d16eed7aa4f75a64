// Linked into every program of an address-and-undefined sanitizer build, nowhere else. There gcc
// loads two runtimes, and the undefined-behaviour one then ignores log_path: its reports would go
// to the standard error of whichever program hit them, a child's included, where no test may
// look. This sends them to the files that log_path in UBSAN_OPTIONS names, as for the others.
#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// The value of the last "log_path=" option, or empty.
std::string log_path(std::string_view options) {
    constexpr std::string_view key = "log_path=";
    std::string path;
    for (std::size_t at = 0; (at = options.find(key, at)) != std::string_view::npos;) {
        at += key.size();
        path = options.substr(at, options.find(':', at) - at);
    }
    return path;
}

__attribute__((constructor)) void route_reports() {
    const char* options = std::getenv("UBSAN_OPTIONS");
    if (options == nullptr) return;
    auto path = log_path(options);
    // The runtime's own copy of the setter, not the address sanitizer's, which would come first.
    void* runtime = dlopen("libubsan.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (path.empty() || runtime == nullptr) return;
    auto set_report_path =
        reinterpret_cast<void (*)(const char*)>(dlsym(runtime, "__sanitizer_set_report_path"));
    if (set_report_path != nullptr) set_report_path(path.c_str());
}

}  // namespace
