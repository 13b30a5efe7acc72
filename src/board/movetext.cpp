#include "movetext.h"

#include <array>
#include <cstring>

#include "board.h"
#include "text.h"

namespace board {

std::uint64_t glyph_nag(std::string_view w) noexcept {
    constexpr std::string_view GLYPHS[] = {"!", "?", "!!", "??", "!?", "?!"};
    for (std::uint64_t i = 0; i < std::size(GLYPHS); ++i)
        if (w == GLYPHS[i]) return i + 1;
    return 0;
}

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
    while (const auto t = scanner_.next()) {
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

std::string_view joined_mainline_comment(std::string_view movetext, const MainlineNotes& notes, std::size_t ply,
                                         std::string& buffer) {
    const std::uint32_t from = notes.first[ply], to = notes.first[ply + 1];
    auto span = [&](std::uint32_t k) { return movetext.substr(notes.spans[k].first, notes.spans[k].second); };
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
