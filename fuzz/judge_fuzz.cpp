// The golden judge on a golden and our text (the input split at its first NUL byte) under every
// class: any bytes are judged, a text always passes against itself, and trailing blanks and
// Windows line ends are noise that normalisation removes.
#include <array>
#include <string>

#include "fuzz.hpp"
#include "render/judge.hpp"

namespace {

namespace judge = kestrin::render::judge;

constexpr std::array CLASSES = {
    judge::Classification::Shape,          judge::Classification::Exact,
    judge::Classification::GoldenArtifact, judge::Classification::Nondet,
    judge::Classification::StateArtifact,
};

// The text with a blank and a carriage return added before every line break.
std::string with_noise(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += " \r";
        out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = fuzz::text(data, size);
    auto [golden, ours] = fuzz::split_pair(input);
    for (auto cls : CLASSES) {
        judge::judge(golden, ours, cls);
        FUZZ_CHECK(judge::judge(golden, golden, cls).verdict != judge::JudgeVerdict::Fail);
    }
    FUZZ_CHECK(judge::normalize(with_noise(golden)) == judge::normalize(golden));
    judge::parse_classification(golden);
    judge::line_kind(golden);
    return 0;
}
