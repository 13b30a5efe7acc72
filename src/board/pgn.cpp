#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "board.h"
#include "movetext.h"

// The splitter looks for line ends 16 bytes at a time where the target has
// SSE2 (every x86-64), 32 at a time where an x86-64 processor has AVX2 (asked
// at run time); elsewhere (32-bit Arm among them) memchr serves.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__) && defined(__SSE2__)
#include <immintrin.h>
#define TAVRINMOSS_RUNTIME_AVX2 1
#endif

namespace board {

namespace {

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

// What a tag name may hold after its first character: a table, asked of
// every byte of every tag line.
constexpr auto TAG_NAME_CHARS = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = is_alnum(static_cast<char>(c));
    for (char c : std::string_view("_+#=:-")) t[static_cast<unsigned char>(c)] = true;
    return t;
}();
constexpr bool is_tag_name_char(char c) { return TAG_NAME_CHARS[static_cast<unsigned char>(c)]; }

// `[Name "value"]` and nothing but white space after it. The value is kept
// as written, backslash escapes included, as the chess library Python users
// know keeps it (and writes it back): it runs to the last `"]` of the line
// and holds no carriage return.
std::optional<std::pair<std::string_view, std::string_view>> read_tag(std::string_view line) {
    const std::string_view t = trimmed_end(line);
    if (t.size() < 2 || t.front() != '[' || !t.ends_with("\"]")) return std::nullopt;
    std::size_t i = 1;
    if (i >= t.size() || !is_alnum(t[i])) return std::nullopt;
    while (i < t.size() && is_tag_name_char(t[i])) ++i;
    const std::string_view name = t.substr(1, i - 1);
    const std::size_t spaces = i;
    while (i < t.size() && is_space(t[i])) ++i;
    if (i == spaces || i >= t.size() || t[i] != '"') return std::nullopt;
    const std::size_t value_start = i + 1, value_end = t.size() - 2;
    if (value_start > value_end) return std::nullopt;
    const std::string_view value = t.substr(value_start, value_end - value_start);
    if (std::memchr(value.data(), '\r', value.size())) return std::nullopt;
    return std::pair{name, value};
}

constexpr std::string_view BOM = "\xEF\xBB\xBF";

// Whether the text from a line start `p` to `end` leaves a brace comment
// open, given whether one is open at `p`. A comment opened after a line's
// ";" is no comment, and a line that starts with "%" outside one is passed
// over whole.
bool in_comment_at(const char* p, const char* end, bool in_comment) {
    bool line_start = true, rest_of_line = false;
    for (; p < end; ++p) {
        const char c = *p;
        if (line_start) rest_of_line = !in_comment && c == '%';
        line_start = c == '\n';
        if (line_start) {
            rest_of_line = false;
        } else if (rest_of_line) {
        } else if (in_comment) {
            in_comment = c != '}';
        } else if (c == '{') {
            in_comment = true;
        } else if (c == ';') {
            rest_of_line = true;
        }
    }
    return in_comment;
}

// The first line end in [p, end), or end.
inline const char* find_newline(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))))
            return p + std::countr_zero(m);
    }
    for (; p < end; ++p)
        if (*p == '\n') return p;
    return end;
#else
    const void* eol = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    return eol ? static_cast<const char*>(eol) : end;
#endif
}

// The first '\n' or '\r' in [p, end), or end.
inline const char* find_line_break(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (const unsigned m =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)))))
            return p + std::countr_zero(m);
    }
#endif
    for (; p < end; ++p)
        if (*p == '\n' || *p == '\r') return p;
    return end;
}

// A complete tag line at `p` (a '[') as read_tag reads it, in one pass over
// its bytes: the name, the value and where the next line starts. Lines it
// does not know to be read alike (no line end yet, a carriage return other
// than one before the line end, a line break among the spaces) it leaves to
// line_at and read_tag.
struct QuickTag {
    std::string_view name, value;
    const char* next;
};

std::optional<QuickTag> quick_tag(const char* p, const char* end) noexcept {
    const char* i = p + 1;
    if (i >= end || !is_alnum(*i)) return std::nullopt;
    while (i < end && is_tag_name_char(*i)) ++i;
    const char* const name_end = i;
    while (i < end && is_space(*i) && *i != '\n' && *i != '\r') ++i;
    if (i == name_end || i >= end || *i != '"') return std::nullopt;
    const char* const value_start = i + 1;
    const char* eol = find_line_break(value_start, end);
    if (eol == end) return std::nullopt;
    const char* next = eol + 1;
    if (*eol == '\r') {
        if (next == end || *next != '\n') return std::nullopt;
        ++next;
    }
    while (eol > p && is_space(eol[-1])) --eol;
    if (eol - p < 2 || eol[-2] != '"' || eol[-1] != ']' || eol - 2 < value_start) return std::nullopt;
    return QuickTag{{p + 1, static_cast<std::size_t>(name_end - p - 1)},
                    {value_start, static_cast<std::size_t>(eol - 2 - value_start)},
                    next};
}

// Whether a line starting with `c` may end a game or change how its
// comments are read: a tag line, an escape line, a blank line (or one
// that starts with white space and needs a closer look).
constexpr auto LINE_MARKS = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = c == '[' || c == '%' || is_space(static_cast<char>(c));
    return t;
}();
constexpr bool is_line_mark(char c) { return LINE_MARKS[static_cast<unsigned char>(c)]; }

// The sweep of past_plain_lines over whole 64-byte blocks from `p`, while
// more than 64 bytes remain (so a line start found in a block is never
// `end`): each line end found is judged by the byte after it. Answers the
// first line start whose byte is a mark, or nullptr with `line` at the last
// line start seen and `p` past the blocks swept.
#if defined(__SSE2__)
const char* plain_blocks_sse2(const char*& line, const char*& p, const char* end) noexcept {
    const __m128i nl = _mm_set1_epi8('\n');
    const auto bits = [&](const char* at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))));
    };
    for (; end - p > 64; p += 64) {
        for (std::uint64_t m = bits(p) | bits(p + 16) << 16 | bits(p + 32) << 32 | bits(p + 48) << 48; m; m &= m - 1) {
            line = p + std::countr_zero(m) + 1;
            if (is_line_mark(*line)) return line;
        }
    }
    return nullptr;
}
#endif

#if TAVRINMOSS_RUNTIME_AVX2
[[gnu::target("avx2")]] const char* plain_blocks_avx2(const char*& line, const char*& p, const char* end) noexcept {
    const __m256i nl = _mm256_set1_epi8('\n');
    for (; end - p > 64; p += 64) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        std::uint64_t m = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, nl))) |
                          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, nl)))} << 32;
        for (; m; m &= m - 1) {
            line = p + std::countr_zero(m) + 1;
            if (is_line_mark(*line)) return line;
        }
    }
    return nullptr;
}

// Asked once, when the module loads; the processor's features are read
// first, as a static initializer may run before libgcc's own has.
const bool HAS_AVX2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
// A switch for the tests (use_wide_sweep); atomic, as any thread may split.
std::atomic<bool> wide_sweep{HAS_AVX2};
#endif

// From the line start `line`, past the lines that can neither end a game
// nor change how its comments are read: those that start with anything but
// '[', '%' or white space. Stops at such a line's start, at `end`, or at
// the start of a line not yet complete, which line_at waits for.
const char* past_plain_lines(const char* line, const char* end) noexcept {
    if (line == end || is_line_mark(*line)) return line;
    const char* p = line;
#if TAVRINMOSS_RUNTIME_AVX2
    if (const char* found = wide_sweep.load(std::memory_order_relaxed) ? plain_blocks_avx2(line, p, end)
                                                                      : plain_blocks_sse2(line, p, end))
        return found;
#elif defined(__SSE2__)
    if (const char* found = plain_blocks_sse2(line, p, end)) return found;
#endif
    for (;;) {
        const char* const eol = find_newline(p, end);
        if (eol == end) return line;
        line = eol + 1;
        if (line == end || is_line_mark(*line)) return line;
        p = line;
    }
}

// The last '{' or '}' in [p, end), or nullptr.
const char* last_brace(const char* p, const char* end) {
    while (end > p) {
        const char c = *--end;
        if (c == '{' || c == '}') return end;
    }
    return nullptr;
}

}  // namespace

void PgnReader::use_wide_sweep([[maybe_unused]] bool wide) noexcept {
#if TAVRINMOSS_RUNTIME_AVX2
    wide_sweep.store(wide && HAS_AVX2, std::memory_order_relaxed);
#endif
}

void PgnReader::Bytes::drop_front(std::size_t n) noexcept {
    if (n == 0) return;
    std::memmove(data_.get(), data_.get() + n, size_ - n);
    size_ -= n;
}

void PgnReader::Bytes::make_room(std::size_t extra) {
    if (capacity_ - size_ >= extra) return;
    const std::size_t capacity = std::max(size_ + extra, 2 * capacity_);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
}

void PgnReader::follow_buffer() noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(buffer_.data() + pos_);
    if (phase_ == Phase::BEFORE || start == game_start_) return;
    // The game's bytes are the same, at another place. Its views are
    // counted as integers, since the old place may be freed; the buffer
    // moves at most a few times in a game, so this adds no more than a
    // few passes over its tags.
    const auto moved = [&](std::string_view v) {
        return std::string_view(buffer_.data() + pos_ + (reinterpret_cast<std::uintptr_t>(v.data()) - game_start_),
                                v.size());
    };
    for (auto& [name, value] : tags_) name = moved(name), value = moved(value);
    first_line_ = moved(first_line_);
    game_start_ = start;
}

void PgnReader::feed(std::string_view block) {
    // Only a game not yet complete stays: what came before it is read. Its
    // scan offsets count from pos_, so they stay valid; its views follow.
    buffer_.drop_front(pos_);
    pos_ = 0;
    buffer_.make_room(block.size());
    follow_buffer();
    if (!block.empty()) std::memcpy(buffer_.data() + buffer_.size(), block.data(), block.size());
    buffer_.resize_within(buffer_.size() + block.size());
}

char* PgnReader::reserve(std::size_t size) {
    buffer_.drop_front(pos_);
    pos_ = 0;
    reserved_at_ = buffer_.size();
    reserved_ = size;
    buffer_.make_room(size);
    follow_buffer();
    return buffer_.data() + reserved_at_;
}

void PgnReader::commit(std::size_t written) noexcept {
    // The room was made by reserve(): nothing is allocated.
    buffer_.resize_within(reserved_at_ + std::min(written, reserved_));
}

inline std::optional<std::string_view> PgnReader::line_at(std::size_t at) noexcept {
    const std::string_view text = buffer_.view();
    const std::size_t abs = pos_ + at;
    if (abs >= text.size()) return std::nullopt;
    // A line longer than a block is searched for its end once, not once per
    // block.
    const std::size_t from = newline_from_ > at ? pos_ + newline_from_ : abs;
    const char* const end = text.data() + text.size();
    const char* const eol = find_newline(text.data() + from, end);
    if (eol != end) return text.substr(abs, static_cast<std::size_t>(eol - text.data()) + 1 - abs);
    if (eof_) return text.substr(abs);
    newline_from_ = text.size() - pos_;
    return std::nullopt;
}

PgnReader::Status PgnReader::next_split(RawGame& out) {
    std::optional<std::string_view> line;
    if (phase_ == Phase::BEFORE) {
        // Blank lines, escape lines and comment lines before a game, and the
        // byte-order mark of a file (or of each of several files joined).
        for (;;) {
            line = line_at(0);
            if (!line) return eof_ ? Status::END : Status::NEED_INPUT;
            newline_from_ = 0;
            if (line->starts_with(BOM)) {
                pos_ += BOM.size();
                continue;
            }
            if (!is_blank(*line) && line->front() != '%' && line->front() != ';') break;
            pos_ += line->size();
        }
        // Cleared, not replaced: the list keeps its room from game to game.
        tags_.clear();
        first_line_ = trimmed_end(*line);
        game_start_ = reinterpret_cast<std::uintptr_t>(buffer_.data() + pos_);
        phase_ = Phase::TAGS;
        scan_ = 0;
        blank_seen_ = false;
    }
    if (phase_ == Phase::TAGS) {
        // Tag pairs, with at most one blank line between two of them; a
        // malformed tag line is passed over.
        const char* const base = buffer_.data() + pos_;
        const char* const end = buffer_.data() + buffer_.size();
        for (;;) {
            // A well-formed tag line is read in one pass; any other line
            // (or one not complete yet) as line_at and read_tag read it.
            if (newline_from_ <= scan_ && pos_ + scan_ < buffer_.size() && base[scan_] == '[') {
                if (const auto tag = quick_tag(base + scan_, end)) {
                    tags_.emplace_back(tag->name, tag->value);
                    blank_seen_ = false;
                    scan_ = static_cast<std::size_t>(tag->next - base);
                    continue;
                }
            }
            if (!(line = line_at(scan_))) break;
            newline_from_ = 0;
            const char c = line->front();
            if (c != '%' && c != ';') {
                if (!blank_seen_ && is_blank(*line)) {
                    blank_seen_ = true;
                } else if (c != '[') {
                    break;
                } else {
                    blank_seen_ = false;
                    if (const auto tag = read_tag(*line)) tags_.push_back(*tag);
                }
            }
            scan_ += line->size();
        }
        if (!line && !eof_) return Status::NEED_INPUT;
        phase_ = Phase::MOVES;
        moves_start_ = scan_;
        in_comment_ = false;
        checked_ = scan_;
        escape_seen_ = false;
    }
    // The movetext, to a blank line or a tag line outside a comment. Only
    // such lines need the comment state, and it is found from the braces
    // between them: with no ";" and no "%" line in between, the last brace
    // decides it ("}" closes or stands for nothing, "{" opens or is text of
    // an open comment), so the search goes from line end to line end, not
    // through every comment.
    std::size_t moves_end = scan_;
    const std::string_view text = buffer_.view();
    const char* const end = text.data() + text.size();
    for (;;) {
        // Plain lines are passed over in one sweep, unless the one here was
        // found incomplete before: line_at goes on from where its end was
        // last looked for.
        if (newline_from_ <= scan_)
            scan_ = static_cast<std::size_t>(past_plain_lines(text.data() + pos_ + scan_, end) - text.data()) - pos_;
        if (!(line = line_at(scan_))) break;
        newline_from_ = 0;
        const char c = line->front();
        if (c == '%') escape_seen_ = true;
        if (c != '[' && !is_blank(*line)) {
            // Neither ends the game: the sweep goes on after it.
            scan_ += line->size();
            continue;
        }
        const char* const from = text.data() + pos_ + checked_;
        const char* const to = line->data();
        if (escape_seen_ || std::memchr(from, ';', static_cast<std::size_t>(to - from))) {
            in_comment_ = in_comment_at(from, to, in_comment_);
        } else if (const char* brace = last_brace(from, to)) {
            in_comment_ = *brace == '{';
        }
        checked_ = scan_;
        escape_seen_ = false;
        if (!in_comment_) {
            moves_end = scan_;
            if (c != '[') scan_ += line->size();
            break;
        }
        scan_ += line->size();
    }
    if (!line) {
        if (!eof_) return Status::NEED_INPUT;
        moves_end = scan_;
    }
    out.tags.swap(tags_);
    out.first_line = first_line_;
    out.movetext = text.substr(pos_ + moves_start_, moves_end - moves_start_);
    out.number = ++games_;
    pos_ += scan_;
    scan_ = 0;
    phase_ = Phase::BEFORE;
    return Status::GAME;
}

PgnReader::Status PgnReader::next_raw(RawGame& out) {
    const Status status = next_split(out);
    if (status != Status::GAME) return status;
    // Assigned in place: strings that had room keep it.
    out.headers.resize(out.tags.size());
    for (std::size_t i = 0; i < out.tags.size(); ++i) {
        out.headers[i].first.assign(out.tags[i].first);
        out.headers[i].second.assign(out.tags[i].second);
    }
    return status;
}

namespace {

// Builds a game's tree from its movetext token by token, with the decisions
// of the game builder Python chess programs use: where a comment belongs, which
// node a variation hangs from, and what an unplayable variation move does.
class TreeBuilder {
public:
    TreeBuilder(Board& mainline, GameTree& tree, const std::vector<Move>& known)
        : tree_(tree), known_(known) {
        boards_.push_back(&mainline);
    }

    void run(std::string_view movetext) {
        using Kind = MovetextToken::Kind;
        // About one ply per 16 bytes of an annotated game; a guess, not a bound.
        tree_.lines[0].plies.reserve(movetext.size() / 16 + 4);
        MovetextScanner scanner(movetext);
        while (const auto t = scanner.next()) {
            switch (t->kind) {
                case Kind::COMMENT:
                    if (!skip_depth_) {
                        const bool closed = t->text.data() + t->text.size() < movetext.data() + movetext.size();
                        comment(comment_text(t->text, closed));
                    }
                    break;
                case Kind::OPEN:
                    if (skip_depth_) {
                        ++skip_depth_;
                    } else if (boards_.size() == 1 ? next_known_ > 0 : !boards_.back()->history.empty()) {
                        begin_variation();
                    } else {
                        // Before any move there is nothing to vary: passed
                        // over whole, as the mainline reader passes over it.
                        skip_depth_ = 1;
                        skip_begun_ = false;
                    }
                    break;
                case Kind::CLOSE:
                    if (skip_depth_ == 1) {
                        skip_depth_ = 0;
                        if (skip_begun_) end_variation();
                    } else if (skip_depth_) {
                        --skip_depth_;
                    } else if (boards_.size() > 1) {
                        end_variation();
                    }
                    break;
                case Kind::NAG:
                    if (!skip_depth_ && t->nag != NAG_TOO_LONG) nag(t->nag);
                    break;
                case Kind::RESULT:
                    if (!skip_depth_ && boards_.size() == 1 && (!tree_.result || *tree_.result == "*"))
                        tree_.result = std::string(t->text);
                    break;
                case Kind::MOVE:
                    if (!skip_depth_) move(t->text);
                    break;
            }
        }
    }

private:
    AnnotatedPly* at(NodeRef n) { return n.ply < 0 ? nullptr : &tree_.lines[n.line].plies[n.ply]; }
    NodeRef parent_of(NodeRef n) const {
        if (n.ply > 0) return {n.line, n.ply - 1};
        return tree_.lines[n.line].parent;
    }

    void comment(std::string text) {
        const NodeRef top = stack_.back();
        const bool root_before_moves = top.ply < 0 && tree_.lines[0].plies.empty();
        if (in_variation_ || root_before_moves) {
            join_comment(top.ply < 0 ? tree_.comment : at(top)->comment, std::move(text));
        } else {
            join_comment(starting_comment_, std::move(text));
        }
    }

    void nag(std::uint64_t value) {
        if (AnnotatedPly* p = at(stack_.back())) {
            auto& nags = p->nags;
            const auto it = std::lower_bound(nags.begin(), nags.end(), value);
            if (it == nags.end() || *it != value) nags.insert(it, value);
        }
    }

    void begin_variation() {
        // The mainline's moves are played only when a variation needs the
        // position they lead to.
        if (boards_.size() == 1)
            while (applied_ < next_known_) boards_[0]->apply_move(known_[applied_++]);
        stack_.push_back(parent_of(stack_.back()));
        in_variation_ = false;
        variation_boards_.push_back(std::make_unique<Board>(*boards_.back()));
        variation_boards_.back()->pop();
        boards_.push_back(variation_boards_.back().get());
    }

    void end_variation() {
        stack_.pop_back();
        if (boards_.size() > 1) {
            boards_.pop_back();
            variation_boards_.pop_back();
        }
    }

    // The node `m` leads to from `n`: the next move of n's line when n has
    // no move after it yet, else the first move of a new alternative line.
    NodeRef add_move(NodeRef n, const Move& m, bool turn) {
        Line& line = tree_.lines[n.line];
        if (static_cast<std::size_t>(n.ply + 1) == line.plies.size()) {
            line.plies.push_back(AnnotatedPly{m, {}, {}, {}, {}});
            return {n.line, n.ply + 1};
        }
        const auto index = static_cast<std::uint32_t>(tree_.lines.size());
        line.plies[n.ply + 1].variations.push_back(index);
        Line alternative;
        alternative.parent = n;
        alternative.first_turn = turn;
        alternative.plies.push_back(AnnotatedPly{m, {}, {}, {}, {}});
        tree_.lines.push_back(std::move(alternative));
        return {index, 0};
    }

    void move(std::string_view text) {
        Board& board = *boards_.back();
        const bool mainline = boards_.size() == 1;
        Move m;
        bool turn = board.turn;
        if (mainline) {
            // The mainline was read from this text already: its moves are
            // known, and only variations need reading.
            if (next_known_ >= known_.size()) return;
            turn = tree_.lines[0].first_turn == (next_known_ % 2 == 0);
            m = known_[next_known_++];
        } else {
            try {
                m = board.parse_san(text);
            } catch (const Invalid&) {
                skip_depth_ = 1;
                skip_begun_ = true;
                return;
            }
        }
        stack_.back() = add_move(stack_.back(), m, turn);
        if (!starting_comment_.empty()) at(stack_.back())->starting_comment = std::move(starting_comment_);
        starting_comment_.clear();
        in_variation_ = true;
        if (!mainline) board.apply_legal(m);
        // A glyph written onto the move ("Nf3!?") is its NAG.
        std::size_t glyph = text.size();
        while (glyph > 0 && (text[glyph - 1] == '!' || text[glyph - 1] == '?')) --glyph;
        if (const std::uint64_t n = glyph_nag(text.substr(glyph))) nag(n);
    }

    GameTree& tree_;
    const std::vector<Move>& known_;
    std::size_t next_known_ = 0;  // the mainline moves read
    std::size_t applied_ = 0;     // the mainline moves played on the mainline board
    bool skip_begun_ = false;  // whether the skipped text is a variation begun
    std::vector<NodeRef> stack_{NodeRef{}};
    std::vector<Board*> boards_;
    std::vector<std::unique_ptr<Board>> variation_boards_;
    std::string starting_comment_;
    bool in_variation_ = false;
    std::size_t skip_depth_ = 0;
};

}  // namespace

GameTree annotate(const BoardState& start, std::string_view movetext, const std::vector<Move>& mainline) {
    GameTree tree;
    tree.lines[0].first_turn = start.turn;
    Board board(start);
    TreeBuilder(board, tree, mainline).run(movetext);
    return tree;
}

bool is_chess960_variant(std::string_view name) noexcept {
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower == "chess960" || lower == "chess 960" || lower == "fischerandom" || lower == "fischerrandom" ||
           lower == "fischer random";
}

std::optional<std::string_view> last_tag(const std::vector<TagView>& tags, std::string_view name) noexcept {
    std::optional<std::string_view> found;
    for (const auto& [n, v] : tags)
        if (n == name) found = v;
    return found;
}

Board game_start(std::optional<std::string_view> fen, bool chess960) {
    // Most games start from the standard position: copied, not read, and
    // classified once rather than by every game's first move.
    static const Board standard = [] {
        Board b;
        (void)b.fast_class();
        return b;
    }();
    if (!fen && !chess960) return standard;
    // Read as the header dict shows the tag: bytes that are not UTF-8 stand
    // for U+FFFD, so the board's texts are well formed.
    std::string text;
    if (fen)
        for (std::size_t i = 0; i < fen->size();) append_utf8(text, next_code_point(*fen, i));
    else
        text = STARTING_FEN;
    if (chess960) {
        try {
            return Board::from_fen(text, true);
        } catch (const Invalid& e) {
            throw Invalid("invalid FEN tag \"" + text + "\" (" + e.what() + ")");
        }
    }
    try {
        return Board(std::string_view(text));
    } catch (const Panic& p) {
        throw Invalid("invalid FEN tag \"" + std::string(*fen) + "\" (" + p.what() + ")");
    }
}

namespace {

// The readers reserve room for a move per 16 bytes of movetext, which a game
// of long comments never fills; a game its caller keeps gives back what is
// more than twice its moves (a history entry is 120 bytes).
template <typename T>
void give_back_room(std::vector<T>& v) {
    if (v.capacity() > 2 * v.size() + 16) v.shrink_to_fit();
}

}  // namespace

void PgnReader::play(const RawGame& raw, PgnGame& out, bool walk) {
    const auto variant = last_tag(raw.tags, "Variant");
    try {
        Board board = game_start(last_tag(raw.tags, "FEN"), variant && is_chess960_variant(*variant));
        out.walked = walk && walk_movetext(board, raw.movetext, out.notes, out.moves);
        if (!out.walked) {
            out.moves.clear();
            board.apply_movetext(raw.movetext, out.notes);
        }
        give_back_room(out.moves);
        give_back_room(board.history);
        give_back_room(out.notes.first);
        give_back_room(out.notes.spans);
        out.board = std::move(board);
    } catch (const Invalid& e) {
        throw Invalid("game " + std::to_string(raw.number) + " (" + std::string(raw.first_line) + "): " + e.what());
    }
}

PgnReader::Status PgnReader::next(PgnGame& out) {
    for (;;) {
        RawGame raw;
        const Status status = next_split(raw);
        if (status != Status::GAME) return status;
        try {
            play(raw, out);
            return Status::GAME;
        } catch (const Invalid&) {
            if (!skip_errors_) throw;
        }
    }
}

// ---------------------------------------------------------------- export

bool is_tag_name(std::string_view name) noexcept {
    if (name.empty() || !is_alnum(name[0])) return false;
    for (char c : name)
        if (!is_tag_name_char(c)) return false;
    return true;
}

namespace {

// Python's str.isspace() for one code point.
constexpr bool is_py_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code points of UTF-8 text, as Python's len() counts them.
std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace

std::string_view strip_py_space(std::string_view s, bool front, bool back) noexcept {
    if (front) {
        while (!s.empty()) {
            std::size_t i = 0;
            if (!is_py_space(next_code_point(s, i))) break;
            s.remove_prefix(i);
        }
    }
    if (back) {
        while (!s.empty()) {
            std::size_t start = s.size() - 1;
            while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && s.size() - start < 4) --start;
            std::size_t i = start;
            const char32_t c = next_code_point(s, i);
            if (i != s.size() || !is_py_space(c)) break;
            s.remove_suffix(s.size() - start);
        }
    }
    return s;
}

namespace {

// Lines of at most 80 columns, filled token by token as the exporter of the
// chess library Python users know fills them: a token that does not fit
// starts a new line. Columns are code points.
class Lines {
public:
    void token(std::string_view t) {
        const std::size_t width = code_points(t);
        if (current_width_ + width > COLUMNS) flush();
        current_ += t;
        current_width_ += width;
    }
    void line(std::string_view l) {
        flush();
        out_.append(strip_py_space(l, false, true));
        out_ += '\n';
    }
    std::string finish() {
        flush();
        out_.erase(strip_py_space(out_, false, true).size());
        return std::move(out_);
    }

private:
    static constexpr std::size_t COLUMNS = 80;
    void flush() {
        if (current_.empty()) return;
        out_.append(strip_py_space(current_, false, true));
        out_ += '\n';
        current_.clear();
        current_width_ = 0;
    }
    std::string out_;
    std::string current_;
    std::size_t current_width_ = 0;
};

// The movetext of a game: its comments, moves with their numbers, NAGs and
// variations in the order and layout of the same exporter.
class MovetextWriter {
public:
    explicit MovetextWriter(Lines& out) : out_(out) {}

    void comment(std::string_view text) {
        std::string cleaned;
        for (char c : text)
            if (c != '}') cleaned += c;
        std::string t = "{ ";
        t.append(strip_py_space(cleaned));
        t.append(" } ");
        out_.token(t);
        force_number_ = true;
    }

    void move(Board& position, const Move& m) {
        if (position.turn) {
            out_.token(std::to_string(position.full_move_number) + ". ");
        } else if (force_number_) {
            out_.token(std::to_string(position.full_move_number) + "... ");
        }
        std::string san = position.san(m);
        san += ' ';
        out_.token(san);
        force_number_ = false;
    }

    void node(Board& position, const AnnotatedPly& p) {
        if (!p.starting_comment.empty()) comment(p.starting_comment);
        move(position, p.move);
        for (std::uint64_t nag : p.nags) {
            // Appended rather than summed: g++ 12 warns falsely on chained sums.
            std::string t(1, '$');
            t.append(std::to_string(nag)).append(" ");
            out_.token(t);
        }
        if (!p.comment.empty()) comment(p.comment);
    }

    void open() {
        out_.token("( ");
        force_number_ = true;
    }
    void close() {
        out_.token(") ");
        force_number_ = true;
    }

    // A variation from `position` (the position before its first move),
    // with the alternatives to its later moves.
    void variation(const GameTree& tree, std::uint32_t index, Board position) {
        const Line& line = tree.lines[index];
        for (std::size_t k = 0; k < line.plies.size(); ++k) {
            const AnnotatedPly& p = line.plies[k];
            node(position, p);
            if (k > 0) alternatives(tree, p, position);
            position.apply_move(p.move);
        }
    }

    void alternatives(const GameTree& tree, const AnnotatedPly& p, const Board& position) {
        for (std::uint32_t v : p.variations) {
            open();
            variation(tree, v, Board(position.state()));
            close();
        }
    }

private:
    Lines& out_;
    bool force_number_ = true;
};

void write_tag(Lines& out, std::string_view name, std::string_view value) {
    std::string l;
    l.append("[").append(name).append(" \"").append(value).append("\"]");
    out.line(l);
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> ROSTER{{
    {"Event", "?"}, {"Site", "?"}, {"Date", "????.??.??"}, {"Round", "?"}, {"White", "?"}, {"Black", "?"}}};

bool is_roster(std::string_view name) {
    for (const auto& r : ROSTER)
        if (name == r.first) return true;
    return name == "Result";
}

// The last value of a tag, as a dict of the tags keeps it.
const std::string* find_tag(const Headers& headers, std::string_view name) {
    const std::string* found = nullptr;
    for (const auto& [n, v] : headers)
        if (n == name) found = &v;
    return found;
}

}  // namespace

std::string game_pgn(Board& b, const Headers& headers) {
    for (const auto& [name, value] : headers) {
        if (!is_tag_name(name)) throw Invalid(std::string("invalid pgn header tag: '").append(name).append("'"));
        if (value.find_first_of("\r\n") != std::string::npos)
            throw Invalid(std::string("line break in pgn header ").append(name).append(": '").append(value).append("'"));
    }
    const std::string* result_tag = find_tag(headers, "Result");
    const std::string result = result_tag ? *result_tag : std::string(b.result(false));

    Lines out;
    for (const auto& [name, fallback] : ROSTER) {
        const std::string* v = find_tag(headers, name);
        write_tag(out, name, v ? std::string_view(*v) : fallback);
    }
    write_tag(out, "Result", result);
    // A Fischer random board's starting text is already as its fen() writes it.
    const std::string start = !b.starting_fen.present() ? std::string(STARTING_FEN)
                              : b.chess960             ? std::string(b.starting_fen.view())
                                                       : Board(b.starting_fen.view()).fen();
    if (start != STARTING_FEN) {
        write_tag(out, "FEN", start);
        write_tag(out, "SetUp", "1");
    }
    if (b.chess960) write_tag(out, "Variant", "Chess960");
    for (const auto& [name, value] : headers)
        if (!is_roster(name) && name != "FEN" && name != "SetUp" && !(b.chess960 && name == "Variant"))
            write_tag(out, name, value);
    out.line("");

    MovetextWriter writer(out);
    for (std::size_t i = 0; i < b.history.size(); ++i) {
        const HistoryEntry& e = b.history[i];
        // Each move is written from the snapshot it was played from, so a
        // history whose positions do not follow from each other still writes.
        Board position(e.state);
        try {
            writer.move(position, e.move);
        } catch (const Invalid&) {
            throw Invalid("the history holds an illegal move, " + e.move.uci() + " at ply " + std::to_string(i + 1) +
                          " in " + position.fen());
        }
    }
    out.token(result + " ");
    return out.finish();
}

std::string game_result(const Headers& headers, const GameTree& tree) {
    const std::string* tag = find_tag(headers, "Result");
    if ((!tag || *tag == "*") && tree.result) return *tree.result;
    return tag ? *tag : std::string("*");
}

std::string annotated_pgn(const Headers& headers, const BoardState& start, const GameTree& tree) {
    Lines out;
    for (const auto& [name, fallback] : ROSTER) {
        const std::string* v = find_tag(headers, name);
        write_tag(out, name, v ? std::string_view(*v) : fallback);
    }
    const std::string result = game_result(headers, tree);
    write_tag(out, "Result", result);
    // The other tags in the order a dict of them keeps: where each first
    // appeared, with its last value.
    for (std::size_t i = 0; i < headers.size(); ++i) {
        const std::string& name = headers[i].first;
        if (is_roster(name)) continue;
        bool first = true;
        for (std::size_t j = 0; j < i && first; ++j) first = headers[j].first != name;
        if (first) write_tag(out, name, *find_tag(headers, name));
    }
    out.line("");

    MovetextWriter writer(out);
    if (!tree.comment.empty()) writer.comment(tree.comment);
    Board position(start);
    const Line& mainline = tree.lines[0];
    for (const AnnotatedPly& p : mainline.plies) {
        writer.node(position, p);
        writer.alternatives(tree, p, position);
        position.apply_move(p.move);
    }
    out.token(result + " ");
    return out.finish();
}

}  // namespace board
