#pragma once

// Reading a PGN movetext: the tokens a game is written in. One scanner serves
// every reader: the mainline player reads its move words and passes over the
// rest; the annotated reader keeps comments, NAGs and variations too.
// Internal to src/board.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "text.h"

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

namespace movetext_detail {

// A word ends where a comment, a variation or a NAG begins, so "e4{...}",
// "e4)" and "e4$1" read as the move and what follows. A table: the scanner
// asks this of every byte of a movetext.
constexpr auto WORD_ENDS = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        t[c] = is_space(ch) || ch == '{' || ch == '}' || ch == '(' || ch == ')' || ch == ';' || ch == '$';
    }
    return t;
}();
constexpr bool ends_word(char c) { return WORD_ENDS[static_cast<unsigned char>(c)]; }

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool is_result(std::string_view w) { return w == "1-0" || w == "0-1" || w == "1/2-1/2" || w == "*"; }

// What a byte means where a token may start: one table load per byte.
enum class Starts : std::uint8_t { WORD, SPACE, COMMENT, REST_OF_LINE, OPEN, CLOSE, STRAY_CLOSE, ESCAPE };
constexpr auto STARTS = [] {
    std::array<Starts, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        t[c] = is_space(ch) ? Starts::SPACE
               : ch == '{'  ? Starts::COMMENT
               : ch == ';'  ? Starts::REST_OF_LINE
               : ch == '('  ? Starts::OPEN
               : ch == ')'  ? Starts::CLOSE
               : ch == '}'  ? Starts::STRAY_CLOSE
               : ch == '%'  ? Starts::ESCAPE
                            : Starts::WORD;
    }
    return t;
}();
constexpr Starts starts(char c) { return STARTS[static_cast<unsigned char>(c)]; }

}  // namespace movetext_detail

// Inline: the readers call it for every token of every game.
[[gnu::always_inline]] inline std::optional<MovetextToken> MovetextScanner::next() noexcept {
    using namespace movetext_detail;
    using Kind = MovetextToken::Kind;
    // Read through locals: the text's bytes may alias the scanner's own
    // fields, so pos_ would be stored and loaded at every byte.
    const char* const text = text_.data();
    const std::size_t n = text_.size();
    std::size_t pos = pos_;
    auto line_end = [&](std::size_t from) {
        const void* eol = std::memchr(text + from, '\n', n - from);
        return eol ? static_cast<std::size_t>(static_cast<const char*>(eol) - text) + 1 : n;
    };
    auto token = [&](Kind kind, std::size_t from, std::size_t size, std::size_t next_pos, std::uint64_t nag = 0) {
        pos_ = next_pos;
        return MovetextToken{kind, std::string_view(text + from, size), nag};
    };
    while (pos < n) {
        // Tokens are mostly one space apart: spaces are passed over here
        // rather than one by one through the switch.
        Starts kind = starts(text[pos]);
        while (kind == Starts::SPACE) {
            if (++pos == n) break;
            kind = starts(text[pos]);
        }
        if (pos == n) break;
        switch (kind) {
            case Starts::SPACE: continue;
            case Starts::ESCAPE:
                if (pos == 0 || text[pos - 1] == '\n') {
                    pos = line_end(pos);
                    continue;
                }
                break;
            case Starts::COMMENT: {
                const void* close = std::memchr(text + pos + 1, '}', n - pos - 1);
                const std::size_t end = close ? static_cast<std::size_t>(static_cast<const char*>(close) - text) : n;
                return token(Kind::COMMENT, pos + 1, end - pos - 1, close ? end + 1 : n);
            }
            case Starts::REST_OF_LINE: pos = line_end(pos); continue;
            case Starts::OPEN: return token(Kind::OPEN, pos, 1, pos + 1);
            case Starts::CLOSE: return token(Kind::CLOSE, pos, 1, pos + 1);
            case Starts::STRAY_CLOSE: ++pos; continue;
            case Starts::WORD: break;
        }
        std::size_t end = pos + 1;
        while (end < n && !ends_word(text[end])) ++end;
        std::string_view word(text + pos, end - pos);
        const std::size_t word_start = pos;
        pos = end;

        if (word[0] == '$') {
            bool nag = word.size() > 1;
            for (std::size_t i = 1; i < word.size(); ++i) nag = nag && is_digit(word[i]);
            if (nag) {
                std::uint64_t value = 0;
                if (word.size() - 1 > 18) {
                    value = NAG_TOO_LONG;
                } else {
                    for (char d : word.substr(1)) value = value * 10 + static_cast<std::uint64_t>(d - '0');
                }
                return token(Kind::NAG, word_start, word.size(), pos, value);
            }
            return token(Kind::MOVE, word_start, word.size(), pos);
        }
        // Most words are moves, which start with a letter: the other
        // readings are tried only for words that can be them.
        if (is_digit(word[0]) || word[0] == '*') {
            if (is_result(word)) return token(Kind::RESULT, word_start, word.size(), pos);
            std::size_t digits = 0;
            while (digits < word.size() && is_digit(word[digits])) ++digits;
            if (digits && digits < word.size() && word[digits] == '.') {
                while (digits < word.size() && word[digits] == '.') ++digits;
                word.remove_prefix(digits);
                if (word.empty()) continue;
            } else if (digits == word.size() && word != "0000") {
                // A bare move number; "0000" is the null move of UCI, left
                // for the move reader to refuse.
                continue;
            }
        }
        const std::size_t from = static_cast<std::size_t>(word.data() - text);
        if (word[0] == '!' || word[0] == '?')
            if (const std::uint64_t nag = glyph_nag(word)) return token(Kind::NAG, from, word.size(), pos, nag);
        return token(Kind::MOVE, from, word.size(), pos);
    }
    pos_ = pos;
    return std::nullopt;
}

}  // namespace board
