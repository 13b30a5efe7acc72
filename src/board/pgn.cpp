#include <array>

#include "board.h"

namespace board {

namespace {

constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_blank(std::string_view line) {
    for (char c : line)
        if (!is_space(c)) return false;
    return true;
}

std::string_view trimmed_end(std::string_view s) {
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

constexpr bool is_alnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// `[Name "value"]` and nothing but white space after it. The value is kept
// as written, backslash escapes included, as the chess library Python users
// know keeps it (and writes it back): it runs to the last `"]` of the line
// and holds no carriage return.
std::optional<std::pair<std::string_view, std::string_view>> read_tag(std::string_view line) {
    const std::string_view t = trimmed_end(line);
    if (t.size() < 2 || t.front() != '[' || !t.ends_with("\"]")) return std::nullopt;
    std::size_t i = 1;
    if (i >= t.size() || !is_alnum(t[i])) return std::nullopt;
    while (i < t.size() && (is_alnum(t[i]) || std::string_view("_+#=:-").find(t[i]) != std::string_view::npos)) ++i;
    const std::string_view name = t.substr(1, i - 1);
    const std::size_t spaces = i;
    while (i < t.size() && is_space(t[i])) ++i;
    if (i == spaces || i >= t.size() || t[i] != '"') return std::nullopt;
    const std::size_t value_start = i + 1, value_end = t.size() - 2;
    if (value_start > value_end) return std::nullopt;
    const std::string_view value = t.substr(value_start, value_end - value_start);
    if (value.find('\r') != std::string_view::npos) return std::nullopt;
    return std::pair{name, value};
}

constexpr std::string_view BOM = "\xEF\xBB\xBF";

}  // namespace

void PgnReader::feed(std::string_view block) {
    // Only a game not yet complete stays: what came before it is read.
    buffer_.erase(0, pos_);
    pos_ = 0;
    buffer_.append(block);
}

std::optional<std::string_view> PgnReader::line_at(std::size_t at) const noexcept {
    const std::string_view text = buffer_;
    if (at >= text.size()) return std::nullopt;
    const std::size_t eol = text.find('\n', at);
    if (eol != std::string_view::npos) return text.substr(at, eol + 1 - at);
    if (eof_) return text.substr(at);
    return std::nullopt;
}

PgnReader::Status PgnReader::next(PgnGame& out) {
    for (;;) {
        // Blank lines, escape lines and comment lines before a game, and the
        // byte-order mark of a file (or of each of several files joined).
        std::size_t p = pos_;
        std::optional<std::string_view> line;
        for (;;) {
            line = line_at(p);
            if (!line) return eof_ ? Status::END : Status::NEED_INPUT;
            if (line->starts_with(BOM)) {
                p += BOM.size();
                pos_ = p;
                continue;
            }
            if (!is_blank(*line) && line->front() != '%' && line->front() != ';') break;
            p += line->size();
            pos_ = p;
        }
        const std::string first_line(trimmed_end(*line));

        // Tag pairs, with at most one blank line between two of them; a
        // malformed tag line is passed over.
        Headers headers;
        bool blank_seen = false;
        for (; (line = line_at(p)); p += line->size()) {
            if (line->front() == '%' || line->front() == ';') continue;
            if (!blank_seen && is_blank(*line)) {
                blank_seen = true;
                continue;
            }
            if (line->front() != '[') break;
            blank_seen = false;
            if (const auto tag = read_tag(*line)) headers.emplace_back(tag->first, tag->second);
        }
        if (!line && !eof_) return Status::NEED_INPUT;

        // The movetext, to a blank line outside a comment. A comment opened
        // after a line's ";" is no comment.
        const std::size_t moves_start = p;
        std::size_t moves_end = p;
        bool in_comment = false;
        for (;; p += line->size()) {
            line = line_at(p);
            if (!line) {
                if (!eof_) return Status::NEED_INPUT;
                moves_end = p;
                break;
            }
            if (!in_comment && (is_blank(*line) || line->front() == '[')) {
                moves_end = p;
                if (line->front() != '[') p += line->size();
                break;
            }
            if (!in_comment && line->front() == '%') continue;
            for (char c : *line) {
                if (in_comment) {
                    in_comment = c != '}';
                } else if (c == '{') {
                    in_comment = true;
                } else if (c == ';') {
                    break;
                }
            }
        }
        pos_ = p;
        const std::size_t number = ++games_;
        const std::string_view movetext = std::string_view(buffer_).substr(moves_start, moves_end - moves_start);

        std::optional<std::string_view> fen;
        for (const auto& [name, value] : headers)
            if (name == "FEN") fen = value;
        try {
            Board board = [&] {
                // Most games start from the standard position: copied, not read.
                static const Board standard;
                if (!fen) return standard;
                try {
                    return Board(fen);
                } catch (const Panic& p) {
                    throw Invalid("invalid FEN tag \"" + std::string(*fen) + "\" (" + p.what() + ")");
                }
            }();
            board.apply_movetext(movetext);
            out.headers = std::move(headers);
            out.board = std::move(board);
            return Status::GAME;
        } catch (const Invalid& e) {
            if (!skip_errors_)
                throw Invalid("game " + std::to_string(number) + " (" + first_line + "): " + e.what());
        }
    }
}

// ---------------------------------------------------------------- export

namespace {

// Lines of at most 80 columns, filled token by token as the exporter of the
// chess library Python users know fills them: a token that does not fit
// starts a new line.
class Lines {
public:
    void token(std::string_view t) {
        if (current_.size() + t.size() > COLUMNS) flush();
        current_ += t;
    }
    void line(std::string_view l) {
        flush();
        out_.append(trimmed_end(l));
        out_ += '\n';
    }
    std::string finish() {
        flush();
        out_.erase(trimmed_end(out_).size());
        return std::move(out_);
    }

private:
    static constexpr std::size_t COLUMNS = 80;
    void flush() {
        if (current_.empty()) return;
        out_.append(trimmed_end(current_));
        out_ += '\n';
        current_.clear();
    }
    std::string out_;
    std::string current_;
};

}  // namespace

std::string game_pgn(Board& b, const Headers& headers) {
    auto find = [&](std::string_view name) -> const std::string* {
        const std::string* found = nullptr;
        for (const auto& [n, v] : headers)
            if (n == name) found = &v;
        return found;
    };
    constexpr std::array<std::pair<std::string_view, std::string_view>, 6> ROSTER{{
        {"Event", "?"}, {"Site", "?"}, {"Date", "????.??.??"}, {"Round", "?"}, {"White", "?"}, {"Black", "?"}}};
    const std::string* result_tag = find("Result");
    const std::string result = result_tag ? *result_tag : std::string(b.result(false));

    Lines out;
    auto tag = [&](std::string_view name, std::string_view value) {
        std::string l;
        l.append("[").append(name).append(" \"").append(value).append("\"]");
        out.line(l);
    };
    for (const auto& [name, fallback] : ROSTER) {
        const std::string* v = find(name);
        tag(name, v ? std::string_view(*v) : fallback);
    }
    tag("Result", result);
    const std::string start =
        b.starting_fen.present() ? Board(b.starting_fen.view()).fen() : std::string(STARTING_FEN);
    if (start != STARTING_FEN) {
        tag("FEN", start);
        tag("SetUp", "1");
    }
    for (const auto& [name, value] : headers) {
        bool known = name == "Result" || name == "FEN" || name == "SetUp";
        for (const auto& r : ROSTER) known = known || name == r.first;
        if (!known) tag(name, value);
    }
    out.line("");

    for (std::size_t i = 0; i < b.history.size(); ++i) {
        const HistoryEntry& e = b.history[i];
        Board position(e.state);
        std::string san;
        try {
            san = position.san(e.move);
        } catch (const Invalid&) {
            throw Invalid("the history holds an illegal move, " + e.move.uci() + " at ply " + std::to_string(i + 1) +
                          " in " + position.fen());
        }
        if (position.turn)
            out.token(std::to_string(position.full_move_number) + ". ");
        else if (i == 0)
            out.token(std::to_string(position.full_move_number) + "... ");
        out.token(san + " ");
    }
    out.token(result + " ");
    return out.finish();
}

}  // namespace board
