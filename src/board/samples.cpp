#include "samples.h"

#include <cmath>
#include <exception>
#include <limits>
#include <system_error>
#include <thread>

#include "movetext.h"
#include "score.h"

namespace board {

void SampleColumns::truncate(std::size_t n) {
    game.resize(n);
    ply.resize(n);
    bitboards.resize(n * PLANE_COUNT);
    turn.resize(n);
    castling.resize(n * 4);
    en_passant.resize(n);
    half_move_clock.resize(n);
    move_from.resize(n);
    move_to.resize(n);
    promotion.resize(n);
    move_index.resize(n);
    eval_cp.resize(n);
    eval_mate.resize(n);
    has_eval.resize(n);
    clock.resize(n);
    result.resize(n);
    white_elo.resize(n);
    black_elo.resize(n);
}

void SampleColumns::reserve(std::size_t n) {
    game.reserve(n);
    ply.reserve(n);
    bitboards.reserve(n * PLANE_COUNT);
    turn.reserve(n);
    castling.reserve(n * 4);
    en_passant.reserve(n);
    half_move_clock.reserve(n);
    move_from.reserve(n);
    move_to.reserve(n);
    promotion.reserve(n);
    move_index.reserve(n);
    eval_cp.reserve(n);
    eval_mate.reserve(n);
    has_eval.reserve(n);
    clock.reserve(n);
    result.reserve(n);
    white_elo.reserve(n);
    black_elo.reserve(n);
}

namespace {

// The last value of a tag, as a dict of the tags keeps it.
const std::string* last_tag(const Headers& headers, std::string_view name) {
    const std::string* found = nullptr;
    for (const auto& [n, v] : headers)
        if (n == name) found = &v;
    return found;
}

std::int8_t result_code(const std::string* tag) {
    if (!tag) return -2;
    if (*tag == "1-0") return 1;
    if (*tag == "0-1") return -1;
    if (*tag == "1/2-1/2") return 0;
    return -2;
}

// A rating written in digits alone; 0 for anything else, and for a number
// the column cannot hold rather than a wrapped one.
std::int16_t elo(const std::string* tag) {
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
    if (const auto score = parse_eval(comment, turn)) {
        const SideScore white = score->white();
        out.has_eval[row] = 1;
        if (const auto mate = white.moves_to_mate())
            out.eval_mate[row] = saturated<std::int16_t>(*mate);
        else
            out.eval_cp[row] = saturated<std::int32_t>(white.value);
    }
    if (const auto seconds = parse_clock(comment)) out.clock[row] = static_cast<float>(*seconds);
}

// The comments after one mainline move, as views into the movetext. Almost
// every move has one comment, read where it stands; only several comments,
// or line ends to drop, are joined into a new text first, as annotate joins
// them. The braces' inner spaces it drops cannot change a command.
class PlyComments {
public:
    explicit PlyComments(std::string_view movetext) : movetext_(movetext) {}
    void add(std::string_view inner) { views_.push_back(inner); }
    bool empty() const noexcept { return views_.empty(); }

    void flush(bool turn, SampleColumns& out, std::size_t row) {
        if (views_.empty()) return;
        if (views_.size() == 1 && views_[0].find('\r') == std::string_view::npos) {
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
    std::vector<std::string_view> views_;
};

void push_row(const SampleGame& g, std::uint16_t ply, const Board& b, const Move& m, SampleColumns& out) {
    out.game.push_back(static_cast<std::int32_t>(g.number));
    out.ply.push_back(ply);
    const auto sets = piece_sets(b);
    out.bitboards.insert(out.bitboards.end(), sets.begin(), sets.end());
    out.turn.push_back(b.turn);
    const std::uint8_t rights = clean_castling_bits(b);
    const std::uint8_t flags[4] = {(rights & castling_bit(WHITE, KING_SIDE)) != 0,
                                   (rights & castling_bit(WHITE, QUEEN_SIDE)) != 0,
                                   (rights & castling_bit(BLACK, KING_SIDE)) != 0,
                                   (rights & castling_bit(BLACK, QUEEN_SIDE)) != 0};
    out.castling.insert(out.castling.end(), flags, flags + 4);
    out.en_passant.push_back(b.en_passant_square ? static_cast<std::int8_t>(*b.en_passant_square) : std::int8_t{-1});
    out.half_move_clock.push_back(saturated<std::uint16_t>(b.half_move_clock));
    out.move_from.push_back(m.from_square);
    out.move_to.push_back(m.to_square);
    const std::optional<PieceKind> promoted = m.promotion ? kind_of_letter(*m.promotion) : std::nullopt;
    out.promotion.push_back(promoted ? static_cast<std::uint8_t>(*promoted + 1) : 0);
    const auto index = policy_index(m.from_square, m.to_square, promoted, b.us());
    out.move_index.push_back(index ? static_cast<std::int16_t>(*index) : std::int16_t{-1});
    out.eval_cp.push_back(0);
    out.eval_mate.push_back(0);
    out.has_eval.push_back(0);
    out.clock.push_back(std::numeric_limits<float>::quiet_NaN());
    out.result.push_back(g.result);
    out.white_elo.push_back(g.white_elo);
    out.black_elo.push_back(g.black_elo);
}

Board starting_board(const SampleGame& g) {
    // Most games start from the standard position: copied, not read.
    static const Board standard;
    if (!g.fen) return standard;
    try {
        return Board(std::string_view(*g.fen));
    } catch (const Panic& p) {
        throw Invalid("invalid FEN tag \"" + *g.fen + "\" (" + p.what() + ")");
    }
}

void play_game(const SampleGame& g, SampleColumns& out) {
    using Kind = MovetextToken::Kind;
    Board board = starting_board(g);
    const BoardState start = board.state();
    const std::size_t first = out.rows();
    const std::string_view text = g.movetext;
    MovetextScanner scanner(text);
    PlyComments comments(text);
    std::vector<Move> moves;
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
                comments.flush(board.turn, out, out.rows() - 1);
                Move m;
                try {
                    m = board.parse_san(t->text);
                } catch (const Invalid& e) {
                    throw Invalid(std::string(e.what()) + ", at ply " + std::to_string(moves.size() + 1) +
                                  " of the movetext");
                }
                push_row(g, saturated<std::uint16_t>(static_cast<std::int64_t>(moves.size())), board, m, out);
                board.apply_move(m);
                // Nothing here takes a move back: the history would only grow.
                board.history.clear();
                moves.push_back(m);
                break;
            }
            default: break;
        }
    }
    if (!moves.empty()) comments.flush(board.turn, out, out.rows() - 1);
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

}  // namespace

SampleGame sample_game(const RawGame& raw) {
    SampleGame g;
    g.number = raw.number - 1;
    g.movetext = std::string(raw.movetext);
    if (const std::string* fen = last_tag(raw.headers, "FEN")) g.fen = *fen;
    g.result = result_code(last_tag(raw.headers, "Result"));
    g.white_elo = elo(last_tag(raw.headers, "WhiteElo"));
    g.black_elo = elo(last_tag(raw.headers, "BlackElo"));
    return g;
}

void append_samples(const SampleGame& game, SampleColumns& out) {
    const std::size_t first = out.rows();
    try {
        play_game(game, out);
    } catch (const Invalid&) {
        out.truncate(first);
        throw;
    }
}

namespace {

void play_part(const SampleGame* begin, const SampleGame* end, SamplePart& part) {
    std::size_t bytes = 0;
    for (const SampleGame* g = begin; g != end; ++g) bytes += g->movetext.size();
    // About one ply per 12 bytes of plain movetext; a guess, not a bound.
    part.columns.reserve(bytes / 12 + 16);
    part.games.reserve(static_cast<std::size_t>(end - begin));
    for (const SampleGame* g = begin; g != end; ++g) {
        const std::size_t before = part.columns.rows();
        PlayedGame played{g->number, 0, std::nullopt};
        try {
            append_samples(*g, part.columns);
            played.rows = part.columns.rows() - before;
        } catch (const Invalid& e) {
            played.skipped = e.what();
        }
        part.games.push_back(std::move(played));
    }
}

}  // namespace

namespace {

// Where `games` is cut into `threads` parts of about equal text, between games.
std::vector<std::size_t> part_cuts(const std::vector<SampleGame>& games, unsigned threads) {
    std::size_t total = 0;
    for (const SampleGame& g : games) total += g.movetext.size();
    std::vector<std::size_t> cuts{0};
    std::size_t acc = 0;
    for (std::size_t i = 0; i < games.size() && cuts.size() < threads; ++i) {
        acc += games[i].movetext.size();
        if (acc * threads >= total * cuts.size()) cuts.push_back(i + 1);
    }
    while (cuts.size() <= threads) cuts.push_back(games.size());
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

unsigned thread_count(const std::vector<SampleGame>& games, unsigned threads) {
    if (threads == 0) threads = 1;
    if (games.size() < threads) threads = static_cast<unsigned>(games.empty() ? 1 : games.size());
    return threads;
}

}  // namespace

std::vector<SamplePart> play_samples(const std::vector<SampleGame>& games, unsigned threads,
                                     std::vector<SamplePart>&& spare) {
    threads = thread_count(games, threads);
    const std::vector<std::size_t> cuts = part_cuts(games, threads);
    std::vector<SamplePart> parts = empty_parts(threads, std::move(spare));
    std::vector<std::exception_ptr> errors(threads);
    auto run = [&](unsigned i) {
        try {
            play_part(games.data() + cuts[i], games.data() + cuts[i + 1], parts[i]);
        } catch (...) {
            errors[i] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    unsigned started = 1;
    // Where the system refuses a thread, this one plays the rest.
    for (; started < threads; ++started) {
        try {
            workers.emplace_back(run, started);
        } catch (const std::system_error&) {
            break;
        }
    }
    run(0);
    for (unsigned i = started; i < threads; ++i) run(i);
    for (std::thread& w : workers) w.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    return parts;
}

void SamplePlayer::start(std::vector<SampleGame>&& games, unsigned threads, std::vector<SamplePart>&& spare) {
    wait();
    pending_ = true;
    games_ = std::move(games);
    threads = thread_count(games_, threads);
    cuts_ = part_cuts(games_, threads);
    parts_ = empty_parts(threads, std::move(spare));
    errors_ = std::vector<std::exception_ptr>(threads);
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        auto run = [this, i] {
            try {
                play_part(games_.data() + cuts_[i], games_.data() + cuts_[i + 1], parts_[i]);
            } catch (...) {
                errors_[i] = std::current_exception();
            }
        };
        try {
            threads_.emplace_back(run);
        } catch (const std::system_error&) {
            // Where the system refuses a thread, the caller's plays the part.
            run();
        }
    }
}

void SamplePlayer::wait() noexcept {
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

std::vector<SamplePart> SamplePlayer::finish() {
    wait();
    pending_ = false;
    games_.clear();
    const std::vector<std::exception_ptr> errors = std::move(errors_);
    errors_.clear();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    return std::move(parts_);
}

}  // namespace board
