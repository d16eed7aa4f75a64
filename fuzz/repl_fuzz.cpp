// Replies of kestrin's REPL daemon, one per input line, as one conversation: both drivers read
// any bytes, and the envelope problem they note stays one line for the session log and reasons.
#include <string>
#include <vector>

#include "category/repl_interactive_internal.hpp"
#include "category/repl_verdict_internal.hpp"
#include "fuzz.hpp"
#include "text.hpp"

namespace category = tolvern::category;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    category::ReplDrive interactive;
    category::VerdictDrive verdict;
    std::vector<std::string> interactive_eligible;
    std::vector<std::string> verdict_eligible;
    for (auto line : tolvern::text::split_lines(input)) {
        category::apply_interactive_reply(line, interactive, interactive_eligible);
        category::apply_verdict_reply(line, verdict, verdict_eligible);
    }
    FUZZ_CHECK(!interactive.stderr_gap || interactive.stderr_gap->find('\n') == std::string::npos);
    return 0;
}
