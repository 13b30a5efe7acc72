#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>

#include "binding/arrays.h"
#include "binding/call.h"
#include "binding/type_cache.h"
#include "board/samples.h"

namespace binding {

namespace {

// Where the reader stands between batches: games split and kept but not
// yet played, and parts played but not yet handed out. Every field is
// engine data, so the workers may use it with the GIL released.
struct SampleState {
    std::vector<board::SampleGame> chunk;
    std::size_t chunk_bytes = 0;
    std::deque<board::SamplePart> parts;
    // Parts handed out, kept for their buffers: reused, they spare the
    // page faults of fresh memory. They never outnumber the parts held at
    // once before, so memory stays bounded by the batch size as before.
    std::vector<board::SamplePart> spare;
    // With several threads, the chunk played while the next one is split.
    board::SamplePlayer player;
    std::size_t next_game = 0;  // of parts.front().games: the first not handed out
    std::size_t next_row = 0;   // of parts.front().columns: the first not handed out
    bool split_done = false;
};

// What readers leave behind for the next ones: played parts' buffers and
// the batches' column blocks. A program that reads many files one after
// another (a shard a file) would otherwise have the kernel fault in and
// zero fresh pages for each, a tenth of the whole read. Bounded, made once
// and never freed (arrays may outlive everything else at exit), and used
// with the GIL held only.
struct SampleMemory {
    static constexpr std::size_t KEEP_BYTES = std::size_t{48} << 20;
    std::vector<board::SamplePart> parts;
    std::size_t part_bytes = 0;
    std::shared_ptr<ColumnPool> pool;
};
SampleMemory& sample_memory() {
    static SampleMemory* memory = new SampleMemory();
    return *memory;
}

struct ColumnDef {
    const char* name;
    ColumnType type;
    Py_ssize_t width;  // entries per row; 0 for a plain column
    std::size_t item;
};

template <typename T>
constexpr ColumnDef column(const char* name, ColumnType type, Py_ssize_t width = 0) {
    return {name, type, width, sizeof(T)};
}

// The columns in the order the batch dict lists them.
constexpr ColumnDef COLUMNS[] = {
    column<std::int32_t>("game", ColumnType::INT32),
    column<std::uint16_t>("ply", ColumnType::UINT16),
    column<std::uint64_t>("bitboards", ColumnType::UINT64, board::PLANE_COUNT),
    column<std::uint8_t>("turn", ColumnType::BOOL),
    column<std::uint8_t>("castling", ColumnType::BOOL, 4),
    column<std::int8_t>("en_passant", ColumnType::INT8),
    column<std::uint16_t>("half_move_clock", ColumnType::UINT16),
    column<std::uint8_t>("move_from", ColumnType::UINT8),
    column<std::uint8_t>("move_to", ColumnType::UINT8),
    column<std::uint8_t>("promotion", ColumnType::UINT8),
    column<std::int16_t>("move_index", ColumnType::INT16),
    column<std::int32_t>("eval_cp", ColumnType::INT32),
    column<std::int16_t>("eval_mate", ColumnType::INT16),
    column<std::uint8_t>("has_eval", ColumnType::BOOL),
    column<float>("clock", ColumnType::FLOAT32),
    column<std::int8_t>("result", ColumnType::INT8),
    column<std::int16_t>("white_elo", ColumnType::INT16),
    column<std::int16_t>("black_elo", ColumnType::INT16),
};

// The bytes a row takes in a part's columns.
constexpr std::size_t ROW_BYTES = [] {
    std::size_t n = 0;
    for (const ColumnDef& c : COLUMNS) n += c.item * static_cast<std::size_t>(c.width > 0 ? c.width : 1);
    return n;
}();

// Gives a part's buffers to the readers to come, as far as the bound allows.
void leave_part(board::SamplePart& part) noexcept {
    SampleMemory& m = sample_memory();
    const std::size_t bytes = part.columns.capacity() * ROW_BYTES;
    if (m.part_bytes + bytes > SampleMemory::KEEP_BYTES) return;
    try {
        m.parts.push_back(std::move(part));
        m.part_bytes += bytes;
    } catch (const std::bad_alloc&) {
    }
}

struct SampleReaderObject {
    PyObject_HEAD
    BorrowFlag borrow;
    PgnSource source;
    SampleState state;
    PyObject* skipped;  // strong reference: a list of (game number, reason)
    unsigned threads;
    std::size_t batch_positions;
    std::shared_ptr<ColumnPool> pool;  // the batches' memory, sample_memory()'s
    // The text of games split before they are played: enough that a part
    // is worth a thread, and bounded by the batch size, so that memory is
    // too whatever the file's size. A ply takes 3 bytes of movetext at least.
    std::size_t chunk_target;
};

int sample_reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* obj = reinterpret_cast<SampleReaderObject*>(self);
    Py_VISIT(obj->skipped);
    Py_VISIT(Py_TYPE(self));
    return obj->source.traverse(visit, arg);
}

int sample_reader_clear(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<SampleReaderObject*>(self);
    obj->source.clear();
    Py_CLEAR(obj->skipped);
    return 0;
}

void sample_reader_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<SampleReaderObject*>(self);
    PyObject_GC_UnTrack(self);
    obj->source.release(self);
    Py_XDECREF(obj->skipped);
    for (board::SamplePart& p : obj->state.spare) leave_part(p);
    for (board::SamplePart& p : obj->state.parts) leave_part(p);
    obj->state.~SampleState();
    obj->pool.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// Splits games into the chunk until it holds enough text or the file ends,
// asking `where` about each. False with an exception set; the games split
// so far stay in the chunk.
bool split_chunk(SampleReaderObject* obj) {
    SampleState& st = obj->state;
    board::RawGame raw;
    while (!st.split_done && st.chunk_bytes < obj->chunk_target) {
        PgnSource& src = obj->source;
        switch (src.reader.next_split(raw)) {
            case board::PgnReader::Status::END:
                st.split_done = true;
                if (!src.close()) return false;
                continue;
            case board::PgnReader::Status::NEED_INPUT:
                if (!src.feed()) return false;
                continue;
            case board::PgnReader::Status::GAME: break;
        }
        // The header dict is made only for a filter to read.
        if (src.where) {
            Ref headers(headers_dict(raw.tags));
            if (!headers) return false;
            const int keep = src.keeps(headers.get());
            if (keep < 0) return false;
            if (!keep) continue;
        }
        st.chunk.push_back(board::sample_game(raw));
        st.chunk_bytes += raw.movetext.size();
    }
    return true;
}

// Runs `work` with the GIL released. The work touches engine data owned by
// the reader alone (its chunk and parts, or the player's buffers), and the
// reader stays borrowed, so no Python object is used meanwhile.
template <typename F>
void without_gil(F&& work) {
    struct ReleasedGil {
        PyThreadState* saved = PyEval_SaveThread();
        ~ReleasedGil() { PyEval_RestoreThread(saved); }
    } released;
    work();
}

void take_parts(SampleState& st, std::vector<board::SamplePart>&& parts) {
    for (board::SamplePart& p : parts) st.parts.push_back(std::move(p));
}

// Plays the split chunk: here with one thread; else started on the
// player's helpers, to be finished by collect_chunk once the next chunk is
// split.
void play_chunk(SampleReaderObject* obj) {
    SampleState& st = obj->state;
    std::vector<board::SamplePart> buffers;
    SampleMemory& left = sample_memory();
    for (std::size_t n = board::SamplePlayer::part_count(obj->threads); n; --n) {
        if (!st.spare.empty()) {
            buffers.push_back(std::move(st.spare.back()));
            st.spare.pop_back();
        } else if (!left.parts.empty()) {
            left.part_bytes -= left.parts.back().columns.capacity() * ROW_BYTES;
            buffers.push_back(std::move(left.parts.back()));
            left.parts.pop_back();
        } else {
            break;
        }
    }
    if (obj->threads > 1) {
        st.player.start(std::move(st.chunk), obj->threads, std::move(buffers));
    } else {
        std::vector<board::SamplePart> parts;
        without_gil([&] { parts = board::play_samples(std::move(st.chunk), 1, std::move(buffers)); });
        take_parts(st, std::move(parts));
    }
    st.chunk.clear();
    st.chunk_bytes = 0;
}

// Splits the next chunk while the player's helpers play the one before,
// then plays what they left of it here too, takes its parts and starts the
// next. False with an exception set when the split failed (the played parts
// are kept all the same).
bool collect_chunk(SampleReaderObject* obj) {
    SampleState& st = obj->state;
    const bool split = split_chunk(obj);
    std::vector<board::SamplePart> parts;
    without_gil([&] { parts = st.player.finish(); });
    take_parts(st, std::move(parts));
    if (!split) return false;
    if (!st.chunk.empty()) play_chunk(obj);
    return true;
}

// A span of rows of one part that goes into the batch.
struct Span {
    const board::SampleColumns* columns;
    std::size_t first, rows;
};

// Adds a skipped game's pair to the reader's list.
bool note_skipped(SampleReaderObject* obj, const board::PlayedGame& g) {
    Ref pair(Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(g.number), g.skipped->data(),
                           static_cast<Py_ssize_t>(g.skipped->size())));
    return pair && PyList_Append(obj->skipped, pair.get()) == 0;
}

// How many games and rows from the front the next batch takes: whole games
// while they fit in batch_positions (one longer game alone), or nullopt
// when the played parts end before that is known and more can be played.
struct Cut {
    std::size_t parts_whole;  // parts used up entirely
    std::size_t games_in_last, rows;
};
std::optional<Cut> next_cut(const SampleReaderObject* obj) {
    const SampleState& st = obj->state;
    std::size_t rows = 0;
    std::size_t game = st.next_game;
    for (std::size_t p = 0; p < st.parts.size(); ++p, game = 0) {
        const auto& games = st.parts[p].games;
        for (; game < games.size(); ++game) {
            const std::size_t r = games[game].rows;
            if (!games[game].skipped && rows > 0 && rows + r > obj->batch_positions)
                return Cut{p, game, rows};
            rows += r;
        }
    }
    if (!st.split_done || !st.chunk.empty() || st.player.running()) return std::nullopt;
    return Cut{st.parts.size(), 0, rows};
}

// The bytes of column `i` of a part, in COLUMNS' order.
const void* column_data(const board::SampleColumns& c, std::size_t i) {
    switch (i) {
        case 0: return c.game.data();
        case 1: return c.ply.data();
        case 2: return c.bitboards.data();
        case 3: return c.turn.data();
        case 4: return c.castling.data();
        case 5: return c.en_passant.data();
        case 6: return c.half_move_clock.data();
        case 7: return c.move_from.data();
        case 8: return c.move_to.data();
        case 9: return c.promotion.data();
        case 10: return c.move_index.data();
        case 11: return c.eval_cp.data();
        case 12: return c.eval_mate.data();
        case 13: return c.has_eval.data();
        case 14: return c.clock.data();
        case 15: return c.result.data();
        case 16: return c.white_elo.data();
        default: return c.black_elo.data();
    }
}

PyObject* build_batch(const SampleReaderObject* obj, const std::vector<Span>& spans, std::size_t rows) {
    // A batch near the usual size gets blocks the next ones can reuse.
    const auto room = static_cast<Py_ssize_t>(2 * rows >= obj->batch_positions ? obj->batch_positions : 0);
    Ref batch(PyDict_New());
    if (!batch) return nullptr;
    for (std::size_t i = 0; i < std::size(COLUMNS); ++i) {
        const ColumnDef& col = COLUMNS[i];
        void* data = nullptr;
        Ref array(new_column(col.type, static_cast<Py_ssize_t>(rows), col.width, "Board.read_samples()", &data,
                             obj->pool, room));
        if (!array) return nullptr;
        const std::size_t row_bytes = col.item * static_cast<std::size_t>(col.width > 0 ? col.width : 1);
        auto* out = static_cast<unsigned char*>(data);
        for (const Span& s : spans) {
            if (!s.rows) continue;
            std::memcpy(out, static_cast<const unsigned char*>(column_data(*s.columns, i)) + s.first * row_bytes,
                        s.rows * row_bytes);
            out += s.rows * row_bytes;
        }
        if (PyDict_SetItemString(batch.get(), col.name, array.get()) < 0) return nullptr;
    }
    return batch.release();
}

PyObject* sample_reader_next(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* obj = reinterpret_cast<SampleReaderObject*>(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow) || !obj->skipped) return nullptr;
            SampleState& st = obj->state;
            std::optional<Cut> cut;
            while (!(cut = next_cut(obj))) {
                if (st.player.running()) {
                    if (!collect_chunk(obj)) return nullptr;
                    continue;
                }
                if (st.chunk.empty() && !split_chunk(obj)) return nullptr;
                play_chunk(obj);
            }
            // The spans and skipped games up to the cut, in file order.
            std::vector<Span> spans;
            for (std::size_t p = 0; p <= cut->parts_whole && p < st.parts.size(); ++p) {
                const board::SamplePart& part = st.parts[p];
                const std::size_t end = p < cut->parts_whole ? part.games.size() : cut->games_in_last;
                std::size_t first_row = p == 0 ? st.next_row : 0;
                std::size_t rows = 0;
                for (std::size_t g = p == 0 ? st.next_game : 0; g < end; ++g) {
                    if (part.games[g].skipped && !note_skipped(obj, part.games[g])) return nullptr;
                    rows += part.games[g].rows;
                }
                spans.push_back(Span{&part.columns, first_row, rows});
            }
            PyObject* batch = cut->rows ? build_batch(obj, spans, cut->rows) : nullptr;
            if (cut->rows && !batch) return nullptr;
            // Handed out: used-up parts go, the last one is left at the cut.
            const std::size_t last_rows = cut->parts_whole < st.parts.size() ? spans.back().rows : 0;
            const std::size_t last_first = cut->parts_whole < st.parts.size() ? spans.back().first : 0;
            for (std::size_t p = 0; p < cut->parts_whole; ++p) {
                st.spare.push_back(std::move(st.parts.front()));
                st.parts.pop_front();
            }
            if (cut->parts_whole > 0) st.next_game = st.next_row = 0;
            if (!st.parts.empty()) {
                st.next_game = cut->games_in_last;
                st.next_row = last_first + last_rows;
            }
            if (!batch) obj->source.done = true;
            return batch;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* sample_reader_skipped(PyObject* self, void*) noexcept {
    auto* obj = reinterpret_cast<SampleReaderObject*>(self);
    if (!obj->skipped) return PyList_New(0);
    return Py_NewRef(obj->skipped);
}

PyGetSetDef sample_reader_getset[] = {
    {"skipped", sample_reader_skipped, nullptr,
     PyDoc_STR("The games passed over so far because their moves cannot be played, as (game number, reason) "
               "pairs in file order; a list that grows as the batches past them are handed out."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot sample_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("The positions of a PGN source's games, as batches of NumPy columns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(sample_reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(sample_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sample_reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(sample_reader_next)},
    {Py_tp_getset, sample_reader_getset},
    {0, nullptr},  // sentinel
};

PyType_Spec sample_reader_spec = {
    .name = "tavrinmoss.SampleReader",
    .basicsize = sizeof(SampleReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = sample_reader_slots,
};

TypeCache sample_reader_type_cache(&sample_reader_spec, "SampleReader");

}  // namespace

PyObject* new_sample_reader(PyObject* source, PyObject* where, unsigned threads, std::size_t batch_positions) noexcept {
    PyTypeObject* type = require_type(sample_reader_type_cache, "SampleReader");
    if (!type) return nullptr;
    Ref file;
    bool owns = false;
    if (!open_pgn_source(source, file, owns)) return nullptr;
    Ref skipped(PyList_New(0));
    if (!skipped) return nullptr;
    auto* obj = reinterpret_cast<SampleReaderObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;  // `file` closes itself when dropped
    new (&obj->borrow) BorrowFlag(0);
    obj->source.init(false, std::move(file), owns, where);
    new (&obj->state) SampleState();
    new (&obj->pool) std::shared_ptr<ColumnPool>();
    try {
        // Two batches' blocks: the one a loop holds while the next is made.
        SampleMemory& m = sample_memory();
        if (!m.pool) m.pool = std::make_shared<ColumnPool>(2 * std::size(COLUMNS), SampleMemory::KEEP_BYTES);
        obj->pool = m.pool;
    } catch (const std::bad_alloc&) {
        // Without a pool every batch gets fresh memory, as numpy gives it.
    }
    obj->skipped = skipped.release();
    obj->threads = threads;
    obj->batch_positions = batch_positions;
    constexpr std::size_t MIN_CHUNK = 256 << 10, MAX_CHUNK = std::size_t{1} << 30;
    obj->chunk_target = std::clamp(batch_positions < MAX_CHUNK / 16 ? batch_positions * 16 : MAX_CHUNK, MIN_CHUNK,
                                   MAX_CHUNK);
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace binding
