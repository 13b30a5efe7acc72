#include <cstring>
#include <memory>
#include <new>

#include "binding/call.h"
#include "binding/type_cache.h"

namespace binding {

namespace {

// The file is read in blocks this large; the engine splits them into games.
constexpr Py_ssize_t BLOCK = 1 << 20;

struct PgnReaderObject {
    PyObject_HEAD
    BorrowFlag borrow;
    PgnSource source;
    // Kept from call to call, so that its tag list keeps its room.
    board::RawGame raw;
    bool headers_only;
    std::shared_ptr<BoardDemand> demand;  // shared with the games given
};

// A file object of the caller's may refer back to the iterator, so the
// collector is told about the references held.
int pgn_reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return reinterpret_cast<PgnReaderObject*>(self)->source.traverse(visit, arg);
}

int pgn_reader_clear(PyObject* self) noexcept {
    reinterpret_cast<PgnReaderObject*>(self)->source.clear();
    return 0;
}

void pgn_reader_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* obj = reinterpret_cast<PgnReaderObject*>(self);
    obj->source.release(self);
    obj->raw.~RawGame();
    obj->demand.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* pgn_reader_next(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* obj = reinterpret_cast<PgnReaderObject*>(self);
            ExclusiveBorrow borrow;
            PgnSource& src = obj->source;
            if (!borrow.take(obj->borrow) || src.done || !src.file) return nullptr;
            board::RawGame& raw = obj->raw;
            for (;;) {
                switch (src.reader.next_split(raw)) {
                    case board::PgnReader::Status::END: src.close(); return nullptr;
                    case board::PgnReader::Status::NEED_INPUT:
                        if (!src.feed()) return nullptr;
                        continue;
                    case board::PgnReader::Status::GAME: break;
                }
                Ref headers(headers_dict(raw.tags));
                if (!headers) return nullptr;
                if (obj->headers_only) return headers.release();
                const int keep = src.keeps(headers.get());
                if (keep < 0) return nullptr;
                if (!keep) continue;
                board::PgnGame game;
                const bool walk = !obj->demand->asked;
                try {
                    board::PgnReader::play(raw, game, walk);
                } catch (const board::Invalid&) {
                    if (src.reader.skip_errors()) continue;
                    throw;
                }
                obj->demand->asked = false;
                return new_game(headers.get(), std::move(game), raw.movetext, obj->demand);
            }
        },
        static_cast<PyObject*>(nullptr));
}

PyType_Slot pgn_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("The games of a PGN source, as Game values (or header dicts).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pgn_reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pgn_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pgn_reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pgn_reader_next)},
    {0, nullptr},  // sentinel
};

PyType_Spec pgn_reader_spec = {
    .name = "tavrinmoss.PgnReader",
    .basicsize = sizeof(PgnReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = pgn_reader_slots,
};

TypeCache pgn_reader_type_cache(&pgn_reader_spec, "PgnReader");

}  // namespace

namespace {

// A str that cannot be a path but reads as PGN text: a line break, or a tag
// pair at its start.
bool looks_like_pgn_text(PyObject* source) noexcept {
    if (!PyUnicode_Check(source)) return false;
    if (PyUnicode_FindChar(source, '\n', 0, PyUnicode_GET_LENGTH(source), 1) >= 0) return true;
    return PyUnicode_GET_LENGTH(source) > 0 && PyUnicode_READ_CHAR(source, 0) == '[';
}

// The reader of a compressed file's content, told by its first bytes, or the
// file itself; the module that reads each comes from the standard library,
// and zstandard's from the `zstandard` package.
Ref decompressed(PyObject* source, Ref file) noexcept {
    Ref head(PyObject_CallMethod(file.get(), "read", "n", Py_ssize_t{6}));
    if (!head) return Ref();
    Ref rewound(PyObject_CallMethod(file.get(), "seek", "n", Py_ssize_t{0}));
    if (!rewound) return Ref();
    if (!PyBytes_Check(head.get())) return file;
    const std::string_view magic(PyBytes_AS_STRING(head.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(head.get())));
    const char* module = nullptr;
    if (magic.starts_with("\x1f\x8b")) {
        module = "gzip";
    } else if (magic.starts_with("BZh")) {
        module = "bz2";
    } else if (magic.starts_with(std::string_view("\xfd" "7zXZ\x00", 6))) {
        module = "lzma";
    } else if (magic.starts_with("\x28\xb5\x2f\xfd")) {
        module = "zstandard";
    }
    if (!module) return file;
    Ref mod(PyImport_ImportModule(module));
    if (!mod) {
        if (PyErr_ExceptionMatches(PyExc_ImportError) && std::string_view(module) == "zstandard") {
            Ref cause(PyErr_GetRaisedException());
            PyErr_Format(PyExc_ImportError,
                         "%R is compressed with Zstandard; reading it needs the 'zstandard' package "
                         "(pip install zstandard)",
                         source);
            Ref raised(PyErr_GetRaisedException());
            PyException_SetCause(raised.get(), cause.release());
            PyErr_SetRaisedException(raised.release());
        }
        return Ref();
    }
    Ref reader;
    if (std::string_view(module) == "zstandard") {
        // Frames one after another make one text, as the other formats read
        // their members.
        Ref dctx(PyObject_CallMethod(mod.get(), "ZstdDecompressor", nullptr));
        if (!dctx) return Ref();
        Ref method(PyObject_GetAttrString(dctx.get(), "stream_reader"));
        Ref args(PyTuple_Pack(1, file.get()));
        Ref kwargs(Py_BuildValue("{s:O}", "read_across_frames", Py_True));
        if (!method || !args || !kwargs) return Ref();
        reader = Ref(PyObject_Call(method.get(), args.get(), kwargs.get()));
    } else {
        reader = Ref(PyObject_CallMethod(mod.get(), "open", "O", file.get()));
    }
    if (!reader) {
        PyObject* pending = PyErr_GetRaisedException();
        Ref closed(PyObject_CallMethod(file.get(), "close", nullptr));
        if (!closed) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    return reader;
}

}  // namespace

bool feed_pgn_block(PyObject* file, board::PgnReader& reader) noexcept {
    Ref block(PyObject_CallMethod(file, "read", "n", BLOCK));
    if (!block) return false;
    const char* data;
    Py_ssize_t size;
    if (PyUnicode_Check(block.get())) {
        data = PyUnicode_AsUTF8AndSize(block.get(), &size);
        if (!data) return false;
    } else if (PyBytes_Check(block.get())) {
        data = PyBytes_AS_STRING(block.get());
        size = PyBytes_GET_SIZE(block.get());
    } else {
        PyErr_Format(PyExc_TypeError, "read() of a PGN source returned '%s', not str or bytes",
                     Py_TYPE(block.get())->tp_name);
        return false;
    }
    try {
        if (size == 0)
            reader.finish();
        else
            reader.feed(std::string_view(data, static_cast<std::size_t>(size)));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool feed_pgn_block_into(PyObject* file, board::PgnReader& reader) noexcept {
    char* room;
    try {
        room = reader.reserve(BLOCK);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    // Until a count is known the reader keeps none of the room, so a failed
    // read leaves it as it was.
    struct Commit {
        board::PgnReader& reader;
        std::size_t written = 0;
        ~Commit() { reader.commit(written); }
    } commit{reader};
    Ref view(PyMemoryView_FromMemory(room, BLOCK, PyBUF_WRITE));
    if (!view) return false;
    // The read may let other threads run; the iterator stays borrowed
    // meanwhile, so nothing moves the buffer under the view.
    Ref got(PyObject_CallMethod(file, "readinto", "O", view.get()));
    Ref failed(got ? nullptr : PyErr_GetRaisedException());
    // The view must not outlive the call: the room moves with the buffer.
    Ref released(PyObject_CallMethod(view.get(), "release", nullptr));
    if (failed) {
        if (!released) PyErr_Clear();
        PyErr_SetRaisedException(failed.release());
        return false;
    }
    if (!released) return false;
    const Py_ssize_t size = PyLong_Check(got.get()) ? PyLong_AsSsize_t(got.get()) : -1;
    if (size < 0 || size > BLOCK) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "readinto() of a PGN source returned %R, not a count from 0 to %zd",
                         got.get(), BLOCK);
        return false;
    }
    commit.written = static_cast<std::size_t>(size);
    if (size == 0) reader.finish();
    return true;
}

namespace {

// Whether two short texts are the same bytes, compared a word at a time
// (the last word overlapping the one before): tag names and values are
// mostly shorter than a call of memcmp is worth.
[[gnu::always_inline]] inline bool same_text(const char* a, const char* b, std::size_t n) noexcept {
    const auto word = [](const char* p, auto w) {
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (word(a + i, std::uint64_t{}) != word(b + i, std::uint64_t{})) return false;
        return word(a + n - 8, std::uint64_t{}) == word(b + n - 8, std::uint64_t{});
    }
    if (n >= 4)
        return word(a, std::uint32_t{}) == word(b, std::uint32_t{}) &&
               word(a + n - 4, std::uint32_t{}) == word(b + n - 4, std::uint32_t{});
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && same_text(a.data(), b.data(), a.size());
}

// Tag names repeat from game to game: the last few seen are kept as interned
// strings, so a game's dict reuses them (hashes and all) instead of decoding
// its names again. Touched only with the GIL held.
PyObject* tag_name(std::string_view name) noexcept {
    struct Entry {
        std::string text;
        PyObject* object = nullptr;  // strong, kept for the process
    };
    static Entry cache[32];
    static std::size_t next = 0;
    for (Entry& e : cache)
        if (e.object && same_text(e.text, name)) return Py_NewRef(e.object);
    PyObject* made = file_text(name);
    if (!made || name.size() > 32) return made;
    PyUnicode_InternInPlace(&made);
    Entry& slot = cache[next++ % std::size(cache)];
    try {
        slot.text.assign(name);
    } catch (const std::bad_alloc&) {
        return made;
    }
    Py_XSETREF(slot.object, Py_NewRef(made));
    return made;
}

}  // namespace

namespace {

// Values a tag took lately, as str objects: many values recur from game to
// game (the event, the result, the time control, the players of one pool),
// and one seen lately is handed out again instead of being made anew. A
// table of short values, each in the slot its hash picks, the slot's last
// value kept: long ones (sites) seldom recur.
class RecentValues {
public:
    RecentValues() = default;
    RecentValues(const RecentValues&) = delete;
    RecentValues& operator=(const RecentValues&) = delete;

    // A new reference to the str of `value`, made or kept. What is kept is
    // dropped by clear() alone: the layout outlives the interpreter, and
    // its destructor must not touch an object.
    PyObject* get(std::string_view value) noexcept {
        if (value.size() > MAX_SIZE) return file_text(value);
        Slot& slot = slots_[slot_of(value)];
        if (slot.object && slot.size == value.size() && same_text(slot.text, value.data(), value.size()))
            return Py_NewRef(slot.object);
        PyObject* made = file_text(value);
        if (!made) return nullptr;
        std::memcpy(slot.text, value.data(), value.size());
        slot.size = static_cast<std::uint8_t>(value.size());
        Py_XSETREF(slot.object, Py_NewRef(made));
        return made;
    }

    void clear() noexcept {
        for (Slot& s : slots_) Py_CLEAR(s.object);
    }

private:
    static constexpr std::size_t BITS = 6, MAX_SIZE = 32;

    // A multiplicative hash of the bytes, read as words as same_text reads them.
    static std::size_t slot_of(std::string_view v) noexcept {
        const auto word = [&](std::size_t at, std::size_t size) {
            std::uint64_t w = 0;
            std::memcpy(&w, v.data() + at, size);
            return w;
        };
        std::uint64_t h = v.size() * 0x9E3779B97F4A7C15ULL;
        const std::size_t n = v.size();
        if (n >= 8) {
            for (std::size_t i = 0; i + 8 < n; i += 8) h = (h ^ word(i, 8)) * 0xFF51AFD7ED558CCDULL;
            h = (h ^ word(n - 8, 8)) * 0xFF51AFD7ED558CCDULL;
        } else if (n >= 4) {
            h = (h ^ word(0, 4) ^ word(n - 4, 4) << 32) * 0xFF51AFD7ED558CCDULL;
        } else if (n) {
            h = (h ^ word(0, n)) * 0xFF51AFD7ED558CCDULL;
        }
        return static_cast<std::size_t>(h >> (64 - BITS));
    }

    struct Slot {
        char text[MAX_SIZE];
        std::uint8_t size = 0;
        PyObject* object = nullptr;  // strong
    };
    Slot slots_[std::size_t{1} << BITS];
};

// The tag names of the last game whose dict was built, their keys, and a
// dict of those keys with that game's values: the games of one file mostly
// have the same tags in the same order, and a copy of that dict takes each
// new value without inserting a key or growing the table, or keeps the
// value it has when the new one is the same text. Touched only with the GIL
// held; kept for the process.
struct HeaderLayout {
    std::vector<std::string> names;
    std::vector<std::string> values;  // the dict's, as their bytes
    std::vector<PyObject*> keys;      // strong
    std::unique_ptr<RecentValues[]> recent;  // one per tag
    PyObject* dict = nullptr;  // strong
    // No name twice: each tag's value is the dict's own, so one equal to it
    // need not be set.
    bool unique = false;

    bool matches(const std::vector<board::TagView>& tags) const noexcept {
        if (!dict || tags.size() != names.size()) return false;
        for (std::size_t i = 0; i < names.size(); ++i)
            if (!same_text(tags[i].first, names[i])) return false;
        return true;
    }

    // Remembers the layout of `tags`, whose dict `made` has just been
    // built; a failure only leaves no layout.
    void remember(const std::vector<board::TagView>& tags, PyObject* made) noexcept {
        forget();
        PyObject* copy = PyDict_Copy(made);
        if (!copy) return PyErr_Clear();
        try {
            recent.reset(new RecentValues[tags.size()]);
            for (const auto& [name, value] : tags) {
                names.emplace_back(name);
                values.emplace_back(value);
                PyObject* key = tag_name(name);
                if (!key) {
                    PyErr_Clear();
                    break;
                }
                keys.push_back(key);
            }
        } catch (const std::bad_alloc&) {
        }
        if (keys.size() != tags.size()) {
            Py_DECREF(copy);
            return forget();
        }
        unique = PyDict_GET_SIZE(copy) == static_cast<Py_ssize_t>(tags.size());
        dict = copy;
    }

    void forget() noexcept {
        if (recent)
            for (std::size_t i = 0; i < names.size(); ++i) recent[i].clear();
        for (PyObject* k : keys) Py_DECREF(k);
        keys.clear();
        names.clear();
        values.clear();
        recent.reset();
        Py_CLEAR(dict);
    }
};

HeaderLayout header_layout;

}  // namespace

PyObject* headers_dict(const std::vector<board::TagView>& tags) noexcept {
    HeaderLayout& layout = header_layout;
    if (layout.matches(tags)) {
        Ref dict(PyDict_Copy(layout.dict));
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            const std::string_view value = tags[i].second;
            if (layout.unique && same_text(value, layout.values[i])) continue;
            Ref text(layout.recent[i].get(value));
            if (!text || PyDict_SetItem(dict.get(), layout.keys[i], text.get()) < 0) return nullptr;
        }
        return dict.release();
    }
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, value] : tags) {
        Ref key(tag_name(name));
        Ref text(file_text(value));
        if (!key || !text || PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) return nullptr;
    }
    if (!tags.empty()) layout.remember(tags, dict.get());
    return dict.release();
}

bool open_pgn_source(PyObject* source, Ref& file, bool& owns) noexcept {
    owns = false;
    if (looks_like_pgn_text(source)) {
        Ref start(PyUnicode_Substring(source, 0, 80));
        if (!start) return false;
        PyErr_Format(PyExc_ValueError,
                     "argument 'source': expected a path or a file object, and this str reads as PGN text, "
                     "not a path: %R%s; to read PGN text, pass io.StringIO(text)",
                     start.get(), PyUnicode_GET_LENGTH(source) > 80 ? "..." : "");
        return false;
    }
    if (PyUnicode_Check(source) || PyBytes_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        Ref io(PyImport_ImportModule("io"));
        if (!io) return false;
        Ref raw(PyObject_CallMethod(io.get(), "open", "Os", source, "rb"));
        if (!raw) return false;
        file = decompressed(source, std::move(raw));
        if (!file) return false;
        owns = true;
    } else {
        // A `read` that raises (a property, say) raises here as it is.
        Ref read(PyObject_GetAttrString(source, "read"));
        if (!read) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument 'source': expected a path or a file object, not '%s'",
                         Py_TYPE(source)->tp_name);
            return false;
        }
        file = Ref::borrowed(source);
    }
    return true;
}

void PgnSource::init(bool skip_errors, Ref opened, bool owns, PyObject* filter) noexcept {
    new (&reader) board::PgnReader(skip_errors);
    file = opened.release();
    where = filter && filter != Py_None ? Py_NewRef(filter) : nullptr;
    owns_file = owns;
    // A decompressor of an older release may have no readinto(): read() serves.
    reads_into = owns && PyObject_HasAttrString(file, "readinto");
    done = false;
}

bool PgnSource::close() noexcept {
    done = true;
    if (!owns_file) return true;
    owns_file = false;
    Ref closed(PyObject_CallMethod(file, "close", nullptr));
    return static_cast<bool>(closed);
}

int PgnSource::keeps(PyObject* headers) noexcept {
    if (!where) return 1;
    Ref keep(PyObject_CallOneArg(where, headers));
    return keep ? PyObject_IsTrue(keep.get()) : -1;
}

int PgnSource::traverse(visitproc visit, void* arg) noexcept {
    Py_VISIT(file);
    Py_VISIT(where);
    return 0;
}

void PgnSource::clear() noexcept {
    done = true;
    owns_file = false;
    Py_CLEAR(file);
    Py_CLEAR(where);
}

void PgnSource::release(PyObject* owner) noexcept {
    if (owns_file) {
        PyObject* pending = PyErr_GetRaisedException();
        if (!close()) PyErr_WriteUnraisable(owner);
        PyErr_SetRaisedException(pending);
    }
    Py_XDECREF(file);
    Py_XDECREF(where);
    reader.~PgnReader();
}

PyObject* new_pgn_reader(PyObject* source, bool skip_errors, bool headers_only, PyObject* where) noexcept {
    PyTypeObject* type = require_type(pgn_reader_type_cache, "PgnReader");
    if (!type) return nullptr;
    std::shared_ptr<BoardDemand> demand;
    try {
        demand = std::make_shared<BoardDemand>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref file;
    bool owns = false;
    if (!open_pgn_source(source, file, owns)) return nullptr;
    auto* obj = reinterpret_cast<PgnReaderObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;  // `file` closes itself when dropped
    new (&obj->borrow) BorrowFlag(0);
    new (&obj->raw) board::RawGame();
    new (&obj->demand) std::shared_ptr<BoardDemand>(std::move(demand));
    obj->source.init(skip_errors, std::move(file), owns, where);
    obj->headers_only = headers_only;
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace binding
