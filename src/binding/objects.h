#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "binding/borrow.h"
#include "binding/ref.h"
#include "binding/type_cache.h"
#include "board/board.h"
#include "board/score.h"

// Threading model. Every function CPython calls here runs holding the global
// interpreter lock, and that lock is what guards the binding's process-wide
// mutable state: the Move and Score free lists (move_type.cpp, score_type.cpp),
// the header layout and tag name caches (pgn_reader_type.cpp), the memory
// sample readers leave for the next ones (samples_type.cpp), the interned
// parameter names of each Signature (args.cpp), the cached module (module.cpp),
// and a board's move log, shared with its views (move_stack_type.cpp), whose
// owner count decides whether it may be cut back. The caches filled once, the
// type objects (TypeCache, the Outcome type), the panic type, piece letters and
// square ints, are atomics set by compare-and-swap instead, because making one
// can run Python code that lets another thread in: the loser drops its copy.
// Three kinds of call let go of the lock: perft while it counts, a sample
// reader while its games are played, and an engine while its process is shut
// down. None touches a Python object until it has the lock back. Perft holds
// its board's exclusive borrow all the while; a sample reader holds its own
// while its caller's thread plays, and its helper threads, which may go on
// between calls, touch only the games and buffers its player owns. Borrow
// flags are atomics so that a thread without the lock may read them. The
// engine keeps no mutable globals but its slider tables, filled once by a
// function-local static that other threads wait for, and the splitter's test
// switch (PgnReader::use_wide_sweep), an atomic.
//
// A free-threaded CPython (Py_GIL_DISABLED, as 3.13t) would leave all of the
// above unguarded, so the module refuses to import there (module.cpp).

namespace binding {

// The moves a board's move_stack views show, shared by the views and the
// board. The entries below a view's length never change while it holds the
// log: the board only appends, truncates a log no view holds, and otherwise
// starts a new one.
struct MoveLog {
    std::vector<board::Move> moves;
};

struct BoardObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::Board record;
    // Made with the first view; its first `log_valid` moves are the history's.
    std::shared_ptr<MoveLog> log;
    std::size_t log_valid;
};

struct MoveObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::Move record;
};

struct BoardStateObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::BoardState record;
};

// The type objects, created on first need; nullptr with an exception set
// (RuntimeError "An error occurred while initializing class ...") on failure.
extern TypeCache board_type_cache;
extern TypeCache move_type_cache;
extern TypeCache board_state_type_cache;
extern TypeCache opening_book_type_cache;

inline PyTypeObject* board_type() noexcept { return board_type_cache.get(); }
inline PyTypeObject* move_type() noexcept { return move_type_cache.get(); }
inline PyTypeObject* board_state_type() noexcept { return board_state_type_cache.get(); }

PyTypeObject* type_creation_failed(const char* name) noexcept;

// A type needed after import: a failure is printed and becomes the panic
// "failed to create type object for {name}".
inline PyTypeObject* require_type(TypeCache& cache, const char* name) noexcept {
    if (PyTypeObject* t = cache.get()) return t;
    return type_creation_failed(name);
}

// A new Move object holding a copy of `m`.
PyObject* new_move(const board::Move& m) noexcept;
// None, or a new Outcome struct sequence (termination name, winner).
PyObject* new_outcome(const std::optional<board::Outcome>& o) noexcept;
PyTypeObject* outcome_type_object() noexcept;
// A new read-only view of the board's history as it stands now; RuntimeError
// while an operation holds the board exclusively.
PyObject* new_move_stack(BoardObject* board) noexcept;
// Called when the history shrank to `keep` moves (or fewer): the views keep
// what they show, at no cost; the board's log forgets what follows.
void keep_views(BoardObject* board, std::size_t keep) noexcept;
// A new Board object taking over `record`.
PyObject* new_board(board::Board&& record) noexcept;
// An iterator over the games of a PGN source: a path (str, bytes,
// os.PathLike), opened and closed here, or a file object read in blocks.
// `headers_only` yields each game's header dict without playing a move;
// `where`, when given, is called with each game's headers and a falsy
// answer skips the game unplayed.
PyObject* new_pgn_reader(PyObject* source, bool skip_errors, bool headers_only, PyObject* where) noexcept;
// Opens a PGN source as read_pgn takes it: a path (str, bytes, os.PathLike;
// compressed or not), opened here (`owns` set: the caller closes it), or a
// file object. False with ValueError / TypeError naming the source.
bool open_pgn_source(PyObject* source, Ref& file, bool& owns) noexcept;
// Feeds the next block of `file` to `reader` as UTF-8 bytes (a text file's
// str encoded, a binary file's bytes as they are), or finishes it at the
// end. False with an exception set.
bool feed_pgn_block(PyObject* file, board::PgnReader& reader) noexcept;
// The same for a binary file opened here, read with readinto() straight
// into the reader's buffer: no bytes object per block, no copy of it.
bool feed_pgn_block_into(PyObject* file, board::PgnReader& reader) noexcept;
// What an iterator over a PGN source holds: the splitter, the file it reads
// and the header filter. The iterator types embed it and call these from
// their own slots, so opening, filtering, closing and collection are written
// once.
struct PgnSource {
    board::PgnReader reader;
    PyObject* file;   // strong reference
    PyObject* where;  // strong reference, or nullptr
    bool owns_file;   // opened here from a path, so closed here
    bool reads_into;  // opened here, so known to read bytes with readinto()
    bool done;

    // Placement-initialises the fields of a freshly allocated object.
    void init(bool skip_errors, Ref opened, bool owns, PyObject* filter) noexcept;
    // Closes a file opened from a path; the first close wins. False with an
    // exception set when closing fails.
    bool close() noexcept;
    // The next block of the file to the reader, or its end. False with an
    // exception set.
    bool feed() noexcept {
        return reads_into ? feed_pgn_block_into(file, reader) : feed_pgn_block(file, reader);
    }
    // 1 when the game whose header dict is `headers` passes the filter (or
    // there is none), 0 when it is skipped, -1 with an exception set. The
    // filter may run any Python code: the caller keeps its object borrowed,
    // so the reader cannot be re-entered meanwhile.
    int keeps(PyObject* headers) noexcept;
    int traverse(visitproc visit, void* arg) noexcept;
    void clear() noexcept;
    // The dealloc's part: an owned file closed (a failure reported as
    // unraisable on `owner`), references dropped, the reader destroyed.
    void release(PyObject* owner) noexcept;
};
// A dict of the tag pairs in file order (a later tag's value replaces an
// earlier one's).
PyObject* headers_dict(const std::vector<board::TagView>& tags) noexcept;
// An iterator of sample batches over a PGN source (Board.read_samples).
PyObject* new_sample_reader(PyObject* source, PyObject* where, unsigned threads, std::size_t batch_positions) noexcept;
// A Score object holding `s`, made now or one made before for an equal
// reading (Scores are values); the Score type itself (made on first need).
PyObject* new_score(const board::Score& s) noexcept;
PyTypeObject* score_type_object() noexcept;
// Whether a reader's caller asked for the board of a game it was given: the
// reader plays the next game on a board if so, else on the fast walk, whose
// board is built only if asked for. Callers of one file mostly do the same
// with every game. Touched only with the GIL held.
struct BoardDemand {
    bool asked = false;
};
// A new Game object: `headers` (a dict, referenced), the game read, and the
// movetext its annotations are read from when first asked for. Asking for
// its board sets `demand->asked`.
PyObject* new_game(PyObject* headers, board::PgnGame&& game, std::string_view movetext,
                   std::shared_ptr<BoardDemand> demand) noexcept;
PyTypeObject* game_type_object() noexcept;
PyTypeObject* variation_type_object() noexcept;
PyTypeObject* relative_score_type_object() noexcept;
// A new list of new Move objects, in order.
PyObject* new_move_list(const board::Move* begin, const board::Move* end) noexcept;
// The UCI engine client type and its exception (a RuntimeError subclass),
// made on first need.
PyTypeObject* engine_type_object() noexcept;
PyObject* engine_error_type() noexcept;

}  // namespace binding
