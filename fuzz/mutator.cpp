// The mutations of mutator.hpp. Inputs are texts, so besides byte-level changes some mutations
// work on whole lines and on tokens; every mutation keeps the input within the size limit.
#include "mutator.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "coverage.hpp"

namespace fuzz {

namespace {

using namespace std::string_view_literals;

// Bytes and sequences that text code gets wrong: line ends, blanks outside ASCII, broken UTF-8,
// quotes and brackets, and numbers at the edges of the integer types.
constexpr std::array AWKWARD = {
    "\n"sv,
    "\r\n"sv,
    "\r"sv,
    " "sv,
    "\t"sv,
    "\0"sv,
    "\xff"sv,
    "\xc3"sv,
    "\xe2\x80"sv,
    "\xc0\x80"sv,
    "\xed\xa0\x80"sv,
    "\xc2\xa0"sv,
    "\xe3\x80\x80"sv,
    "\xe2\x80\xa8"sv,
    "\xf0\x9f\x98\x80"sv,
    "\""sv,
    "\\"sv,
    "("sv,
    ")"sv,
    ","sv,
    "#"sv,
    "0"sv,
    "-1"sv,
    "4294967295"sv,
    "4294967296"sv,
    "18446744073709551615"sv,
    "18446744073709551616"sv,
    "1e308"sv,
};

enum class Mutation : std::uint8_t {
    FlipBit,
    SetByte,
    InsertByte,
    EraseRange,
    CopyRange,
    InsertToken,
    OverwriteToken,
    InsertRun,
    CopyLine,
    Splice,
    Count,
};

}  // namespace

std::size_t Mutator::below(std::size_t bound) {
    return bound == 0 ? 0 : random() % bound;
}

void Mutator::mutate(std::string& input, const std::vector<std::string>& corpus,
                     std::size_t max_size) {
    auto token = [&]() -> std::string_view {
        switch (below(3)) {
            case 0:
                if (!dictionary.empty()) return dictionary[below(dictionary.size())];
                break;
            case 1:
                if (auto operand = coverage::recent_operand(random()); !operand.empty())
                    return operand;
                break;
        }
        return AWKWARD[below(AWKWARD.size())];
    };
    auto insert = [&](std::size_t at, std::string_view bytes) {
        input.insert(at, bytes.substr(0, max_size - std::min(max_size, input.size())));
    };
    auto position = [&] { return below(input.size() + 1); };

    for (auto steps = 1 + below(4); steps > 0; --steps) {
        switch (static_cast<Mutation>(below(static_cast<std::size_t>(Mutation::Count)))) {
            case Mutation::FlipBit:
                if (!input.empty()) input[below(input.size())] ^= static_cast<char>(1 << below(8));
                break;
            case Mutation::SetByte:
                if (!input.empty()) input[below(input.size())] = static_cast<char>(random());
                break;
            case Mutation::InsertByte:
                insert(position(), std::string(1, static_cast<char>(random())));
                break;
            case Mutation::EraseRange:
                if (!input.empty()) {
                    auto at = below(input.size());
                    input.erase(at, 1 + below(std::min<std::size_t>(input.size() - at, 16)));
                }
                break;
            case Mutation::CopyRange:
                if (!input.empty()) {
                    auto from = below(input.size());
                    auto piece = input.substr(from, 1 + below(input.size() - from));
                    insert(position(), piece);
                }
                break;
            case Mutation::InsertToken: insert(position(), token()); break;
            case Mutation::OverwriteToken: {
                auto at = position();
                auto bytes = token();
                input.replace(at, std::min(bytes.size(), input.size() - at), "");
                insert(at, bytes);
                break;
            }
            case Mutation::InsertRun:
                insert(position(), std::string(1 + below(below(2) ? 16 : 1024),
                                               below(2) ? static_cast<char>(random()) : ' '));
                break;
            case Mutation::CopyLine: {
                // A line of the input, copied to the start of another line.
                auto from = input.rfind('\n', below(input.size() + 1));
                from = from == std::string::npos ? 0 : from + 1;
                auto end = input.find('\n', from);
                auto line = input.substr(from, end == std::string::npos ? end : end + 1 - from);
                auto to = input.rfind('\n', below(input.size() + 1));
                insert(to == std::string::npos ? 0 : to + 1, line);
                break;
            }
            case Mutation::Splice: {
                const auto& other = corpus[below(corpus.size())];
                auto keep = position();
                auto from = below(other.size() + 1);
                input.resize(keep);
                insert(keep, std::string_view(other).substr(from));
                break;
            }
            case Mutation::Count: break;
        }
    }
    if (input.size() > max_size) input.resize(max_size);
}

}  // namespace fuzz
