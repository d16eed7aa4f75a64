// "tolvern.toml" texts: any bytes give a configuration or a message, and the message about a
// UTF-8 file is UTF-8 itself, as it is printed as it stands.
#include "config.hpp"
#include "fuzz.hpp"
#include "text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto config = tolvern::config::Config::parse(input);
    if (!config && tolvern::text::is_valid_utf8(input))
        FUZZ_CHECK(tolvern::text::is_valid_utf8(config.error()));
    return 0;
}
