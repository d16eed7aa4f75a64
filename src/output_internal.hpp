// The part of the output writer that only output.cpp and its tests use: where a text is cut
// into the pieces that one write each hands over.
#pragma once

#include <limits.h>

#include <cstddef>
#include <string_view>

namespace tolvern::output {

// The most that one write hands over: what a pipe takes whole or not at all, so that a write
// that waits for the reader has written nothing yet, what is left is known line by line, and no
// other writer of the same pipe puts its bytes inside the piece.
inline constexpr std::size_t PIECE = PIPE_BUF;

// The length of the text's first piece: its whole lines, as many as fit in PIECE bytes, so that
// two sessions writing into one pipe never cut each other's lines. A first line longer than
// PIECE is a piece of its own, written in as many writes as it takes; a last line without a line
// feed ends at the end of the text.
std::size_t piece_length(std::string_view text);

}  // namespace tolvern::output
