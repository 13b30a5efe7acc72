#pragma once

// Reading the mainline of a PGN movetext: the tokens a game's moves are
// written in, with everything else read past. Internal to src/board; the
// movetext player and the PGN reader share it.

#include <cstddef>
#include <optional>
#include <string_view>

namespace board {

class MovetextReader {
public:
    explicit MovetextReader(std::string_view text) noexcept : text_(text) {}

    // The next move token of the mainline (a SAN text with its suffixes, or
    // whatever stands where a move should), or std::nullopt at the end.
    // Move numbers ("12.", "12...", also glued to the move), comments ("{...}"
    // and ";" to the end of the line), "%" escape lines, variations in
    // parentheses (nested), NAGs ("$1"), annotation glyphs ("!?") and result
    // tokens are read past.
    std::optional<std::string_view> next() noexcept;

    // Byte offset just after what has been read.
    std::size_t offset() const noexcept { return pos_; }

private:
    bool at_line_start() const noexcept { return pos_ == 0 || text_[pos_ - 1] == '\n'; }
    void skip_line() noexcept;
    void skip_comment() noexcept;
    void skip_variation() noexcept;

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace board
