// Where the output writer cuts a text into the pieces that one write each hands over: whole
// lines, so that another writer of the same pipe never lands inside one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "output_internal.hpp"

namespace {

using tolvern::output::PIECE;
using tolvern::output::piece_length;

// `count` lines of `size` bytes each, line feed included.
std::string lines(std::size_t count, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += std::string(size - 1, 'x') + "\n";
    return text;
}

TEST(Output, APieceIsTheWholeLinesThatFitOrOneLongerLine) {
    struct Case {
        std::string what;
        std::string text;
        std::vector<std::size_t> pieces;
    } cases[] = {
        {"lines that fit", lines(1, 100) + lines(1, 200), {300}},
        {"one line more than fit", lines(PIECE / 100 + 1, 100), {PIECE / 100 * 100, 100}},
        {"a line of exactly the limit", lines(1, PIECE) + lines(1, 10), {PIECE, 10}},
        {"a longer line alone",
         lines(1, 10) + lines(1, PIECE + 1) + lines(1, 10),
         {10, PIECE + 1, 10}},
        {"a text without its last line feed",
         lines(1, PIECE - 10) + std::string(20, 'x'),
         {PIECE - 10, 20}},
        {"a long text without a line feed", std::string(PIECE * 2, 'x'), {PIECE * 2}},
    };
    for (const auto& c : cases) {
        std::vector<std::size_t> pieces;
        // Bounded, so that a piece of no bytes fails the case rather than looping.
        for (std::string_view rest = c.text; !rest.empty() && pieces.size() <= c.pieces.size();) {
            pieces.push_back(piece_length(rest));
            rest.remove_prefix(std::min(pieces.back(), rest.size()));
        }
        EXPECT_EQ(pieces, c.pieces) << c.what;
    }
}

}  // namespace
