#include "movetext.h"

namespace board {

namespace {

constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// A word ends where a comment, a variation or a NAG begins, so "e4{...}",
// "e4)" and "e4$1" read as the move and what follows.
constexpr bool ends_word(char c) {
    return is_space(c) || c == '{' || c == '}' || c == '(' || c == ')' || c == ';' || c == '$';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_result(std::string_view w) { return w == "1-0" || w == "0-1" || w == "1/2-1/2" || w == "*"; }

bool is_glyph(std::string_view w) {
    if (w.empty() || w.size() > 2) return false;
    for (char c : w)
        if (c != '!' && c != '?') return false;
    return true;
}

}  // namespace

void MovetextReader::skip_line() noexcept {
    const std::size_t eol = text_.find('\n', pos_);
    pos_ = eol == std::string_view::npos ? text_.size() : eol + 1;
}

// An unclosed comment runs to the end of the text.
void MovetextReader::skip_comment() noexcept {
    const std::size_t close = text_.find('}', pos_ + 1);
    pos_ = close == std::string_view::npos ? text_.size() : close + 1;
}

// From an opening parenthesis to its match; parentheses inside comments do
// not count. An unclosed variation runs to the end of the text.
void MovetextReader::skip_variation() noexcept {
    std::size_t depth = 0;
    while (pos_ < text_.size()) {
        const char c = text_[pos_];
        if (c == '{') {
            skip_comment();
        } else if (c == ';' || (c == '%' && at_line_start())) {
            skip_line();
        } else {
            ++pos_;
            if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                return;
            }
        }
    }
}

std::optional<std::string_view> MovetextReader::next() noexcept {
    const std::size_t n = text_.size();
    while (pos_ < n) {
        const char c = text_[pos_];
        if (is_space(c)) {
            ++pos_;
            continue;
        }
        if (c == '%' && at_line_start()) {
            skip_line();
            continue;
        }
        switch (c) {
            case '{': skip_comment(); continue;
            case ';': skip_line(); continue;
            case '(': skip_variation(); continue;
            // A closer without its opener stands for nothing.
            case ')':
            case '}': ++pos_; continue;
            default: break;
        }
        std::size_t end = pos_ + 1;
        while (end < n && !ends_word(text_[end])) ++end;
        std::string_view word = text_.substr(pos_, end - pos_);
        pos_ = end;

        if (word[0] == '$') {
            bool nag = word.size() > 1;
            for (std::size_t i = 1; i < word.size(); ++i) nag = nag && is_digit(word[i]);
            if (nag) continue;
            return word;
        }
        if (is_result(word)) continue;
        std::size_t digits = 0;
        while (digits < word.size() && is_digit(word[digits])) ++digits;
        if (digits && digits < word.size() && word[digits] == '.') {
            while (digits < word.size() && word[digits] == '.') ++digits;
            word.remove_prefix(digits);
            if (word.empty()) continue;
        } else if (digits == word.size() && word != "0000") {
            // A bare move number; "0000" is the null move of UCI, left for
            // the move reader to refuse.
            continue;
        }
        if (is_glyph(word)) continue;
        return word;
    }
    return std::nullopt;
}

}  // namespace board
