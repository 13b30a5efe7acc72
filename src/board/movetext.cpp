#include "movetext.h"

#include <array>
#include <cstring>

#include "board.h"
#include "text.h"

namespace board {

namespace {

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

bool is_result(std::string_view w) { return w == "1-0" || w == "0-1" || w == "1/2-1/2" || w == "*"; }

}  // namespace

std::uint64_t glyph_nag(std::string_view w) noexcept {
    constexpr std::string_view GLYPHS[] = {"!", "?", "!!", "??", "!?", "?!"};
    for (std::uint64_t i = 0; i < std::size(GLYPHS); ++i)
        if (w == GLYPHS[i]) return i + 1;
    return 0;
}

namespace {

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

}  // namespace

// The scanner's step, inlined into the mainline reader, which calls it for
// every token of every game.
[[gnu::always_inline]] inline std::optional<MovetextToken> MovetextScanner::step() noexcept {
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

std::optional<MovetextToken> MovetextScanner::next() noexcept { return step(); }

void join_comment(std::string& to, std::string&& more) {
    if (more.empty()) return;
    if (to.empty()) {
        to = std::move(more);
        return;
    }
    to += ' ';
    to.append(more);
}

std::string comment_text(std::string_view inner, bool closed) {
    if (!inner.empty() && inner.front() == ' ') inner.remove_prefix(1);
    if (closed) {
        const std::size_t nl = inner.rfind('\n');
        const std::size_t last_line = nl == std::string_view::npos ? 0 : nl + 1;
        if (inner.size() > last_line && inner.back() == ' ') inner.remove_suffix(1);
    }
    if (inner.find('\r') == std::string_view::npos) return std::string(inner);
    std::string out;
    out.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i)
        if (!(inner[i] == '\r' && i + 1 < inner.size() && inner[i + 1] == '\n')) out += inner[i];
    return out;
}

std::optional<std::string_view> MovetextReader::next() {
    using Kind = MovetextToken::Kind;
    while (const auto t = scanner_.step()) {
        switch (t->kind) {
            case Kind::OPEN:
                ++depth_;
                if (notes_) notes_->plain = false;
                break;
            case Kind::CLOSE:
                if (depth_) --depth_;
                if (notes_) notes_->plain = false;
                break;
            case Kind::COMMENT:
                if (notes_ && !depth_) {
                    // As comment_text trims it; its line ends are left to
                    // mainline_comment.
                    std::string_view inner = t->text;
                    if (!inner.empty() && inner.front() == ' ') inner.remove_prefix(1);
                    const bool closed = inner.data() + inner.size() < text_.data() + text_.size();
                    if (closed && !inner.empty() && inner.back() == ' ') inner.remove_suffix(1);
                    notes_->spans.emplace_back(static_cast<std::uint32_t>(inner.data() - text_.data()),
                                               static_cast<std::uint32_t>(inner.size()));
                }
                break;
            case Kind::NAG:
                if (notes_ && !depth_ && t->nag != NAG_TOO_LONG && notes_->first.size() > 1)
                    notes_->nags.emplace_back(static_cast<std::uint32_t>(notes_->first.size() - 1), t->nag);
                break;
            case Kind::MOVE:
                if (!depth_) {
                    if (notes_) {
                        notes_->first.push_back(static_cast<std::uint32_t>(notes_->spans.size()));
                        // A glyph written onto the move ("Nf3!?") is its NAG.
                        const std::string_view w = t->text;
                        if (w.back() == '!' || w.back() == '?') {
                            std::size_t glyph = w.size();
                            while (glyph > 0 && (w[glyph - 1] == '!' || w[glyph - 1] == '?')) --glyph;
                            if (const std::uint64_t n = glyph_nag(w.substr(glyph)))
                                notes_->nags.emplace_back(static_cast<std::uint32_t>(notes_->first.size() - 1), n);
                        }
                    }
                    return t->text;
                }
                break;
            default: break;
        }
    }
    if (notes_) notes_->first.push_back(static_cast<std::uint32_t>(notes_->spans.size()));
    return std::nullopt;
}

std::string_view mainline_comment(std::string_view movetext, const MainlineNotes& notes, std::size_t ply,
                                  std::string& buffer) {
    const std::uint32_t from = notes.first[ply], to = notes.first[ply + 1];
    auto span = [&](std::uint32_t k) { return movetext.substr(notes.spans[k].first, notes.spans[k].second); };
    if (to - from == 1 && !notes.has_cr) return span(from);
    buffer.clear();
    for (std::uint32_t k = from; k < to; ++k) {
        const std::string_view piece = span(k);
        if (piece.empty()) continue;
        if (!buffer.empty()) buffer += ' ';
        for (std::size_t i = 0; i < piece.size(); ++i)
            if (!(piece[i] == '\r' && i + 1 < piece.size() && piece[i + 1] == '\n')) buffer += piece[i];
    }
    return buffer;
}

}  // namespace board
