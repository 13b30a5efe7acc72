#pragma once

// Reading a PGN movetext: the tokens a game is written in. One scanner serves
// every reader: the mainline player reads its move words and passes over the
// rest; the annotated reader keeps comments, NAGs and variations too.
// Internal to src/board.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace board {

struct MainlineNotes;

struct MovetextToken {
    enum class Kind : std::uint8_t {
        MOVE,     // a SAN text with its suffixes, or whatever stands where a move should
        COMMENT,  // the text between the braces, as written
        NAG,      // "$n", or an annotation glyph standing alone ("!?")
        OPEN,     // "(": a variation begins
        CLOSE,    // ")"
        RESULT,   // "1-0", "0-1", "1/2-1/2", "*"
    };
    Kind kind;
    std::string_view text;
    // The NAG's number; NAGS_TOO_LONG when "$n" has more digits than it holds.
    std::uint64_t nag = 0;
};

inline constexpr std::uint64_t NAG_TOO_LONG = ~std::uint64_t{0};

// The NAG an annotation glyph stands for ("!" 1, "?" 2, "!!" 3, "??" 4,
// "!?" 5, "?!" 6), or 0 when the text is none of them.
std::uint64_t glyph_nag(std::string_view text) noexcept;

// A comment's text as the chess library Python users know reads it: one
// space after the opening brace and one before the closing brace (when it
// is not the first character of its line) are dropped; line ends are kept,
// as a file read in text mode gives them. `closed`: the brace was there.
std::string comment_text(std::string_view inner, bool closed);
// " ".join(filter(None, [to, more])), as comments that meet are joined.
void join_comment(std::string& to, std::string&& more);

class MovetextScanner {
public:
    explicit MovetextScanner(std::string_view text) noexcept : text_(text) {}

    // The next token, or std::nullopt at the end. Move numbers ("12.",
    // "12...", also glued to the move), ";" comments to the end of the line
    // and "%" escape lines are read past. An unclosed comment runs to the end
    // of the text; a "}" without its opener stands for nothing.
    std::optional<MovetextToken> next() noexcept;

    // Byte offset just after what has been read.
    std::size_t offset() const noexcept { return pos_; }

private:
    friend class MovetextReader;
    std::optional<MovetextToken> step() noexcept;

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The mainline's move words alone: comments, NAGs, glyphs, results and
// variations in parentheses (nested; parentheses inside comments do not
// count; an unclosed one runs to the end, a closer without its opener stands
// for nothing) are read past.
// With `notes`, the mainline's comments are noted as they are read past.
class MovetextReader {
public:
    explicit MovetextReader(std::string_view text, MainlineNotes* notes = nullptr) noexcept
        : scanner_(text), text_(text), notes_(notes) {}

    // Noting may allocate: only a reader with notes throws (bad_alloc).
    std::optional<std::string_view> next();
    std::size_t offset() const noexcept { return scanner_.offset(); }

private:
    MovetextScanner scanner_;
    std::string_view text_;
    MainlineNotes* notes_;
    std::size_t depth_ = 0;
};

}  // namespace board
