#include "samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <system_error>
#include <thread>

#include "fast/fast.h"
#include "movetext.h"
#include "score.h"

namespace board {

void SampleColumns::reserve(std::size_t n) {
    if (n <= capacity_) return;
    // Reused buffers are asked for a little more than they hold now and
    // then: growing by half at least keeps them from being made anew each
    // time, in fresh memory the kernel must fault in.
    n = std::max(n, capacity_ + capacity_ / 2);
    const std::size_t keep = rows_;
    game.reserve(n, keep);
    ply.reserve(n, keep);
    bitboards.reserve(n * PLANE_COUNT, keep * PLANE_COUNT);
    turn.reserve(n, keep);
    castling.reserve(n * 4, keep * 4);
    en_passant.reserve(n, keep);
    half_move_clock.reserve(n, keep);
    move_from.reserve(n, keep);
    move_to.reserve(n, keep);
    promotion.reserve(n, keep);
    move_index.reserve(n, keep);
    eval_cp.reserve(n, keep);
    eval_mate.reserve(n, keep);
    has_eval.reserve(n, keep);
    clock.reserve(n, keep);
    result.reserve(n, keep);
    white_elo.reserve(n, keep);
    black_elo.reserve(n, keep);
    capacity_ = n;
}

namespace {

std::int8_t result_code(std::optional<std::string_view> tag) {
    if (!tag) return -2;
    if (*tag == "1-0") return 1;
    if (*tag == "0-1") return -1;
    if (*tag == "1/2-1/2") return 0;
    return -2;
}

// A rating written in digits alone; 0 for anything else, and for a number
// the column cannot hold rather than a wrapped one.
std::int16_t elo(std::optional<std::string_view> tag) {
    if (!tag || tag->empty()) return 0;
    std::int32_t v = 0;
    for (char c : *tag) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (c - '0');
        if (v > std::numeric_limits<std::int16_t>::max()) return 0;
    }
    return static_cast<std::int16_t>(v);
}

template <typename T>
T saturated(std::int64_t v) {
    if (v < std::numeric_limits<T>::min()) return std::numeric_limits<T>::min();
    if (v > std::numeric_limits<T>::max()) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

// The evaluation and clock columns of row `row` from the comment after its
// move; `turn` is the side to move after it.
void read_comment(std::string_view comment, bool turn, SampleColumns& out, std::size_t row) {
    const CommentCommands commands = parse_commands(comment, turn);
    if (commands.eval) {
        const SideScore white = commands.eval->white();
        out.has_eval[row] = 1;
        if (const auto mate = white.moves_to_mate())
            out.eval_mate[row] = saturated<std::int16_t>(*mate);
        else
            out.eval_cp[row] = saturated<std::int32_t>(white.value);
    }
    if (commands.clock) out.clock[row] = static_cast<float>(*commands.clock);
}

// What a game's play needs besides its columns, kept from game to game so
// that a part allocates it once.
struct PlayScratch {
    std::vector<std::string_view> comments;
    std::vector<Move> moves;
};

// The comments after one mainline move, as views into the movetext. Almost
// every move has one comment, read where it stands; only several comments,
// or line ends to drop, are joined into a new text first, as annotate joins
// them. The braces' inner spaces it drops cannot change a command.
class PlyComments {
public:
    PlyComments(std::string_view movetext, std::vector<std::string_view>& views)
        : movetext_(movetext), views_(views), has_cr_(movetext.find('\r') != std::string_view::npos) {
        views_.clear();
    }
    void add(std::string_view inner) { views_.push_back(inner); }

    void flush(bool turn, SampleColumns& out, std::size_t row) {
        if (views_.empty()) return;
        // Line ends to drop are looked for once per game, not per comment.
        if (views_.size() == 1 && (!has_cr_ || views_[0].find('\r') == std::string_view::npos)) {
            read_comment(views_[0], turn, out, row);
        } else {
            std::string joined;
            for (std::string_view v : views_) {
                const bool closed = v.data() + v.size() < movetext_.data() + movetext_.size();
                join_comment(joined, comment_text(v, closed));
            }
            read_comment(joined, turn, out, row);
        }
        views_.clear();
    }

private:
    std::string_view movetext_;
    std::vector<std::string_view>& views_;
    bool has_cr_;
};

// The four castling columns of a row, K, Q, k, q, as bytes of 0 or 1.
void write_castling(std::uint8_t rights, std::uint8_t* out) {
    out[0] = (rights & castling_bit(WHITE, KING_SIDE)) != 0;
    out[1] = (rights & castling_bit(WHITE, QUEEN_SIDE)) != 0;
    out[2] = (rights & castling_bit(BLACK, KING_SIDE)) != 0;
    out[3] = (rights & castling_bit(BLACK, QUEEN_SIDE)) != 0;
}

// Plays a game on its board, with the board's reasons for refusing a move.
class BoardPlay {
public:
    explicit BoardPlay(Board& board) : board_(board) {}
    bool turn() const { return board_.turn; }
    Move read(std::string_view san) { return board_.parse_san(san); }
    void play(const Move& m) {
        board_.apply_legal(m);
        // Nothing here takes a move back: the history would only grow.
        board_.history.clear();
    }
    const Placement& placement() const { return board_; }
    std::uint8_t castle() const { return clean_castling_bits(board_); }
    std::optional<std::uint8_t> en_passant_square() const { return board_.en_passant_square; }
    std::uint32_t half_move_clock() const { return board_.half_move_clock; }

private:
    Board& board_;
};

// A move the walk cannot read: the game is played again on its board,
// which reads it or says why not.
struct Bail {};

// Plays a game on the fast generator's walk: no history, no castling text,
// no key, which the rows never read.
class WalkPlay {
public:
    explicit WalkPlay(const fast::Walk& walk) : walk_(walk) {}
    bool turn() const { return walk_.turn; }
    Move read(std::string_view san) {
        const auto m = walk_san(walk_, san);
        if (!m) throw Bail{};
        return *m;
    }
    void play(const Move& m) { fast::walk_play(walk_, m); }
    const Placement& placement() const { return walk_; }
    std::uint8_t castle() const { return walk_.castle; }
    std::optional<std::uint8_t> en_passant_square() const { return walk_.en_passant_square; }
    std::uint32_t half_move_clock() const { return walk_.half_move_clock; }

private:
    fast::Walk walk_;
};

template <typename Play>
void push_row(const SampleGame& g, std::uint16_t ply, const Play& b, const Move& m, SampleColumns& out) {
    const std::size_t r = out.add_row();
    out.game[r] = static_cast<std::int32_t>(g.number);
    out.ply[r] = ply;
    const auto sets = piece_sets(b.placement());
    std::memcpy(out.bitboards.data() + r * PLANE_COUNT, sets.data(), sizeof sets);
    out.turn[r] = b.turn();
    write_castling(b.castle(), out.castling.data() + r * 4);
    const auto en_passant = b.en_passant_square();
    out.en_passant[r] = en_passant ? static_cast<std::int8_t>(*en_passant) : std::int8_t{-1};
    out.half_move_clock[r] = saturated<std::uint16_t>(b.half_move_clock());
    out.move_from[r] = static_cast<std::uint8_t>(m.from_square);
    out.move_to[r] = static_cast<std::uint8_t>(m.to_square);
    const std::optional<PieceKind> promoted = m.promotion ? kind_of_letter(*m.promotion) : std::nullopt;
    out.promotion[r] = promoted ? static_cast<std::uint8_t>(*promoted + 1) : 0;
    const auto index = policy_index(m.from_square, m.to_square, promoted, b.turn() ? WHITE : BLACK);
    out.move_index[r] = index ? static_cast<std::int16_t>(*index) : std::int16_t{-1};
    out.eval_cp[r] = 0;
    out.eval_mate[r] = 0;
    out.has_eval[r] = 0;
    out.clock[r] = std::numeric_limits<float>::quiet_NaN();
    out.result[r] = g.result;
    out.white_elo[r] = g.white_elo;
    out.black_elo[r] = g.black_elo;
}

template <typename Play>
void play_moves(const SampleGame& g, const BoardState& start, Play&& play, SampleColumns& out,
                PlayScratch& scratch) {
    using Kind = MovetextToken::Kind;
    const std::size_t first = out.rows();
    const std::string_view text = g.movetext;
    MovetextScanner scanner(text);
    PlyComments comments(text, scratch.comments);
    std::vector<Move>& moves = scratch.moves;
    moves.clear();
    std::size_t depth = 0;
    bool variations = false;
    // The mainline's words are read as apply_movetext reads them: whatever
    // lies in parentheses is another line.
    while (const auto t = scanner.next()) {
        switch (t->kind) {
            case Kind::OPEN:
                ++depth;
                variations = true;
                break;
            case Kind::CLOSE:
                if (depth) --depth;
                break;
            case Kind::COMMENT:
                // One before the first move is the game's, not a move's.
                if (!depth && !moves.empty()) comments.add(t->text);
                break;
            case Kind::MOVE: {
                if (depth) break;
                comments.flush(play.turn(), out, out.rows() - 1);
                Move m;
                try {
                    m = play.read(t->text);
                } catch (const Invalid& e) {
                    throw Invalid(std::string(e.what()) + ", at ply " + std::to_string(moves.size() + 1) +
                                  " of the movetext");
                }
                push_row(g, saturated<std::uint16_t>(static_cast<std::int64_t>(moves.size())), play, m, out);
                play.play(m);
                moves.push_back(m);
                break;
            }
            default: break;
        }
    }
    if (!moves.empty()) comments.flush(play.turn(), out, out.rows() - 1);
    if (!variations) return;
    // Around a variation a comment may belong to another node than the move
    // before it; the tree builder decides, as it does for annotated games.
    const GameTree tree = annotate(start, text, moves);
    const std::vector<AnnotatedPly>& plies = tree.lines[0].plies;
    for (std::size_t k = 0; k < moves.size(); ++k) {
        const std::size_t row = first + k;
        out.eval_cp[row] = 0;
        out.eval_mate[row] = 0;
        out.has_eval[row] = 0;
        out.clock[row] = std::numeric_limits<float>::quiet_NaN();
        if (k < plies.size()) read_comment(plies[k].comment, k % 2 == 1 ? start.turn : !start.turn, out, row);
    }
}

// A standard game is walked by the fast generator; should the walk meet a
// move it cannot read, or a Fischer random or irregular start, the board
// plays the game, reading every move as the PGN reader does.
void play_game(const SampleGame& g, SampleColumns& out, PlayScratch& scratch) {
    Board board = game_start(g.fen ? std::optional<std::string_view>(*g.fen) : std::nullopt, g.chess960);
    const BoardState start = board.state();
    if (const auto walk = fast::walk_of(board)) {
        const std::size_t first = out.rows();
        try {
            play_moves(g, start, WalkPlay(*walk), out, scratch);
            return;
        } catch (const Bail&) {
            out.truncate(first);
        }
    }
    play_moves(g, start, BoardPlay(board), out, scratch);
}

}  // namespace

SampleGame sample_game(const RawGame& raw) {
    SampleGame g;
    g.number = raw.number - 1;
    g.movetext = std::string(raw.movetext);
    if (const auto fen = last_tag(raw.tags, "FEN")) g.fen = std::string(*fen);
    if (const auto variant = last_tag(raw.tags, "Variant")) g.chess960 = is_chess960_variant(*variant);
    g.result = result_code(last_tag(raw.tags, "Result"));
    g.white_elo = elo(last_tag(raw.tags, "WhiteElo"));
    g.black_elo = elo(last_tag(raw.tags, "BlackElo"));
    return g;
}

namespace {

// Plays a game's mainline and appends one row per position before each of
// its moves, the evaluation and clock read from the comment after the move
// (comments joined and read as `annotate` reads them). Invalid, with `out`
// as it was, when the game cannot be played: the reason, as the PGN reader
// gives it.
void append_samples(const SampleGame& game, SampleColumns& out, PlayScratch& scratch) {
    const std::size_t first = out.rows();
    try {
        play_game(game, out, scratch);
    } catch (const Invalid&) {
        out.truncate(first);
        throw;
    }
}

void play_part(const SampleGame* begin, const SampleGame* end, SamplePart& part) {
    std::size_t bytes = 0;
    for (const SampleGame* g = begin; g != end; ++g) bytes += g->movetext.size();
    // About one ply per 12 bytes of plain movetext; a guess, not a bound.
    part.columns.reserve(bytes / 12 + 16);
    part.games.reserve(static_cast<std::size_t>(end - begin));
    PlayScratch scratch;
    for (const SampleGame* g = begin; g != end; ++g) {
        const std::size_t before = part.columns.rows();
        PlayedGame played{g->number, 0, std::nullopt};
        try {
            append_samples(*g, part.columns, scratch);
            played.rows = part.columns.rows() - before;
        } catch (const Invalid& e) {
            played.skipped = e.what();
        }
        part.games.push_back(std::move(played));
    }
}

// Where `games` is cut into `parts` parts of about equal text, between games.
std::vector<std::size_t> part_cuts(const std::vector<SampleGame>& games, std::size_t parts) {
    std::size_t total = 0;
    for (const SampleGame& g : games) total += g.movetext.size();
    std::vector<std::size_t> cuts{0};
    std::size_t acc = 0;
    for (std::size_t i = 0; i < games.size() && cuts.size() < parts; ++i) {
        acc += games[i].movetext.size();
        if (acc * parts >= total * cuts.size()) cuts.push_back(i + 1);
    }
    while (cuts.size() <= parts) cuts.push_back(games.size());
    cuts.back() = games.size();
    return cuts;
}

// `count` empty parts, the buffers of `spare` first.
std::vector<SamplePart> empty_parts(std::size_t count, std::vector<SamplePart>&& spare) {
    std::vector<SamplePart> parts = std::move(spare);
    parts.resize(count);
    for (SamplePart& p : parts) {
        p.columns.truncate(0);
        p.games.clear();
    }
    return parts;
}

}  // namespace

std::size_t SamplePlayer::part_count(unsigned threads) noexcept {
    // One part for one thread: nobody to share with. Else enough parts that
    // the last ones to finish are short, but not so many that a part's
    // setup and its buffers' growth count.
    return threads <= 1 ? 1 : std::size_t{4} * threads;
}

void SamplePlayer::start(std::vector<SampleGame>&& games, unsigned threads, std::vector<SamplePart>&& spare) {
    wait();
    pending_ = true;
    games_ = std::move(games);
    if (threads == 0) threads = 1;
    const std::size_t count = std::min(part_count(threads), std::max<std::size_t>(games_.size(), 1));
    if (threads > count) threads = static_cast<unsigned>(count);
    cuts_ = part_cuts(games_, count);
    parts_ = empty_parts(count, std::move(spare));
    errors_ = std::vector<std::exception_ptr>(count);
    next_part_.store(0, std::memory_order_relaxed);
    helpers_.reserve(threads - 1);
    for (unsigned i = 1; i < threads; ++i) {
        try {
            helpers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Where the system refuses a thread, the others play its share.
            break;
        }
    }
}

void SamplePlayer::work() noexcept {
    // Each part is taken by one thread alone, and written only by it until
    // wait() joins the helpers: no lock is needed.
    for (std::size_t i; (i = next_part_.fetch_add(1, std::memory_order_relaxed)) < parts_.size();) {
        try {
            play_part(games_.data() + cuts_[i], games_.data() + cuts_[i + 1], parts_[i]);
        } catch (...) {
            errors_[i] = std::current_exception();
        }
    }
}

void SamplePlayer::wait() noexcept {
    for (std::thread& t : helpers_) t.join();
    helpers_.clear();
}

std::vector<SamplePart> SamplePlayer::finish() {
    work();
    wait();
    pending_ = false;
    games_.clear();
    const std::vector<std::exception_ptr> errors = std::move(errors_);
    errors_.clear();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    return std::move(parts_);
}

std::vector<SamplePart> play_samples(std::vector<SampleGame>&& games, unsigned threads,
                                     std::vector<SamplePart>&& spare) {
    SamplePlayer player;
    player.start(std::move(games), threads, std::move(spare));
    return player.finish();
}

}  // namespace board
