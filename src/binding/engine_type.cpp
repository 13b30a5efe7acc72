// Engine: a chess engine run as a child process and spoken to over UCI.
// The process side (spawning, pipes, waiting, reaping) is plain C++ on a
// Process record that no Python object points into, so every wait can
// release the GIL; the Python side turns what the engine wrote into info
// dicts, moves and scores.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "binding/call.h"
#include "binding/type_cache.h"
#include "board/uci_engine.h"

extern char** environ;

namespace binding {

namespace {

using Clock = std::chrono::steady_clock;

// How long an engine gets to leave after `quit` before it is killed.
constexpr auto QUIT_GRACE = std::chrono::milliseconds(500);
// Waits for a search are cut into slices this long, so Ctrl-C is seen.
constexpr int SLICE_MS = 50;
// Lines of the engine's standard error kept for error messages.
constexpr std::size_t STDERR_LINES = 8;

// ---------------------------------------------------------------- process

struct Process {
    pid_t pid = -1;
    pid_t owner = -1;  // the process that spawned it: a forked child leaves it alone
    int to_engine = -1;
    int from_engine = -1;
    int from_stderr = -1;
    std::string out;  // bytes read from stdout, from `out_pos` on unread
    std::size_t out_pos = 0;
    bool out_eof = false;
    std::string err_partial;
    std::deque<std::string> err_lines;
    bool reaped = false;
    int status = 0;
};

// Every running engine of this process, for the exit hook.
std::mutex live_mutex;
std::vector<Process*> live;

void close_fd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void keep_stderr(Process& p, const char* data, std::size_t n) {
    p.err_partial.append(data, n);
    std::size_t start = 0;
    for (std::size_t nl; (nl = p.err_partial.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = p.err_partial.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        p.err_lines.push_back(std::move(line));
        if (p.err_lines.size() > STDERR_LINES) p.err_lines.pop_front();
    }
    p.err_partial.erase(0, start);
    if (p.err_partial.size() > 4096) p.err_partial.erase(0, p.err_partial.size() - 4096);
}

// Reads whatever the engine has written within `timeout_ms` (0: only what
// is there). Touches the Process alone: callers release the GIL around it.
void pump(Process& p, int timeout_ms) {
    pollfd fds[2];
    nfds_t n = 0;
    if (p.from_engine >= 0 && !p.out_eof) fds[n++] = {p.from_engine, POLLIN, 0};
    if (p.from_stderr >= 0) fds[n++] = {p.from_stderr, POLLIN, 0};
    if (n == 0) return;
    int r = ::poll(fds, n, timeout_ms);
    if (r <= 0) return;
    char buf[65536];
    for (nfds_t i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (fds[i].fd == p.from_engine) {
            if (got <= 0) {
                p.out_eof = true;
            } else {
                if (p.out_pos > 0 && p.out_pos == p.out.size()) {
                    p.out.clear();
                    p.out_pos = 0;
                }
                p.out.append(buf, static_cast<std::size_t>(got));
            }
        } else {
            if (got <= 0)
                close_fd(p.from_stderr);
            else
                keep_stderr(p, buf, static_cast<std::size_t>(got));
        }
    }
}

bool take_line(Process& p, std::string& line) {
    const std::size_t nl = p.out.find('\n', p.out_pos);
    if (nl == std::string::npos) return false;
    std::size_t end = nl;
    if (end > p.out_pos && p.out[end - 1] == '\r') --end;
    line.assign(p.out, p.out_pos, end - p.out_pos);
    p.out_pos = nl + 1;
    if (p.out_pos == p.out.size()) {
        p.out.clear();
        p.out_pos = 0;
    }
    return true;
}

void unregister(Process* p) noexcept {
    std::lock_guard lock(live_mutex);
    live.erase(std::remove(live.begin(), live.end(), p), live.end());
}

// Waits for the process to end, for at most `grace`; then kills it. Always
// reaps it. No Python object is touched.
void reap(Process& p, Clock::duration grace) noexcept {
    if (p.reaped || p.pid <= 0) return;
    const auto deadline = Clock::now() + grace;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(p.pid, &status, WNOHANG);
        if (r == p.pid || (r < 0 && errno != EINTR)) {
            p.status = status;
            break;
        }
        if (Clock::now() >= deadline) {
            ::kill(p.pid, SIGKILL);
            while ((r = ::waitpid(p.pid, &status, 0)) < 0 && errno == EINTR) {
            }
            p.status = status;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    p.reaped = true;
}

// Asks the engine to leave, kills it after the grace period, reaps it and
// closes the pipes. No Python object is touched.
void shutdown(Process& p) noexcept {
    if (p.owner == ::getpid() && !p.reaped && p.pid > 0) {
        if (p.to_engine >= 0) {
            static constexpr char quit[] = "quit\n";
            [[maybe_unused]] ssize_t ignored = ::write(p.to_engine, quit, sizeof quit - 1);
        }
        close_fd(p.to_engine);
        reap(p, QUIT_GRACE);
    }
    close_fd(p.to_engine);
    close_fd(p.from_engine);
    close_fd(p.from_stderr);
    unregister(&p);
}

void shutdown_all() noexcept {
    std::vector<Process*> all;
    {
        std::lock_guard lock(live_mutex);
        all = live;
    }
    for (Process* p : all) shutdown(*p);
}

// Starts `argv` with its three standard streams on pipes; 0 or the errno of
// the failure (the child's exec error among them).
int spawn(Process& p, const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) < 0) return errno;
    if (::pipe2(out, O_CLOEXEC) < 0) {
        int e = errno;
        ::close(in[0]), ::close(in[1]);
        return e;
    }
    if (::pipe2(err, O_CLOEXEC) < 0) {
        int e = errno;
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
        return e;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Its own process group keeps a terminal's Ctrl-C from reaching the
    // engine: the client answers it by stopping the search instead. The
    // interpreter ignores SIGPIPE and may block signals; the engine gets the
    // defaults, as subprocess gives them.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        return rc;
    }
    p.pid = pid;
    p.owner = ::getpid();
    p.to_engine = in[1];
    p.from_engine = out[0];
    p.from_stderr = err[0];
    std::lock_guard lock(live_mutex);
    live.push_back(&p);
    return 0;
}

// ---------------------------------------------------------------- errors

std::atomic<PyObject*> engine_error{nullptr};

PyObject* get_engine_error() noexcept {
    if (PyObject* e = engine_error.load(std::memory_order_acquire)) return e;
    PyObject* made = PyErr_NewExceptionWithDoc(
        "tavrinmoss.EngineError",
        "An engine that died, or wrote what the client cannot accept (an illegal or unreadable best move).",
        PyExc_RuntimeError, nullptr);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!engine_error.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

void raise_engine_error(const std::string& message) noexcept {
    if (PyObject* type = get_engine_error()) PyErr_SetString(type, message.c_str());
}

// ---------------------------------------------------------------- Engine

struct EngineObject {
    PyObject_HEAD
    BorrowFlag borrow;
    Process* proc;       // nullptr once the engine has ended
    PyObject* id;        // dict
    PyObject* options;   // dict of option name to dict
    double timeout;      // seconds; negative: none
    std::int64_t configured_multipv;
    std::int64_t sent_multipv;
    bool sent_chess960;  // UCI_Chess960 as last set; engines start without it
    bool searching;      // an analysis iterator holds the search
    PyObject* weakrefs;
};

extern TypeCache engine_type_cache;

// Ends the process with the GIL released: the quit grace period may pass.
void end_process(EngineObject* obj) noexcept {
    Process* p = std::exchange(obj->proc, nullptr);
    if (!p) return;
    Py_BEGIN_ALLOW_THREADS  // only the Process, no Python object, is touched
    shutdown(*p);
    Py_END_ALLOW_THREADS
    delete p;
}

std::string exit_text(int status) {
    if (WIFEXITED(status)) return "exit code: " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The engine closed its output: it is reaped, its last words on standard
// error collected, and EngineError raised naming both.
void engine_died(EngineObject* obj) noexcept {
    Process* p = obj->proc;
    Py_BEGIN_ALLOW_THREADS  // only the Process is touched
    reap(*p, std::chrono::seconds(1));
    // It has exited: whatever it wrote to standard error is in the pipe.
    while (p->from_stderr >= 0) pump(*p, 100);
    Py_END_ALLOW_THREADS
    std::string message = "engine process died unexpectedly (" + exit_text(p->status) + ")";
    if (!p->err_partial.empty()) keep_stderr(*p, "\n", 1);
    if (!p->err_lines.empty()) {
        message += "; last lines on standard error:";
        for (const std::string& l : p->err_lines) message += "\n  " + l;
    }
    end_process(obj);
    raise_engine_error(message);
}

bool send(EngineObject* obj, std::string_view text) noexcept {
    Process* p = obj->proc;
    while (!text.empty()) {
        ssize_t n = ::write(p->to_engine, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) {
                engine_died(obj);
                return false;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

enum class Read { LINE, FAILED, TIMEOUT };

// The next line of the engine's output. Waits with the GIL released, in
// slices when `deadline` is far or absent, running signal handlers between
// them: FAILED with their exception (KeyboardInterrupt) or EngineError when
// the engine died; TIMEOUT when `deadline` passed.
Read read_line(EngineObject* obj, std::string& line, std::optional<Clock::time_point> deadline,
               bool check_signals = true) noexcept {
    Process* p = obj->proc;
    for (;;) {
        if (take_line(*p, line)) return Read::LINE;
        if (p->out_eof) {
            engine_died(obj);
            return Read::FAILED;
        }
        int slice = SLICE_MS;
        if (deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) return Read::TIMEOUT;
            slice = static_cast<int>(std::min<std::int64_t>(left.count() + 1, SLICE_MS));
        }
        Py_BEGIN_ALLOW_THREADS  // only the Process is touched
        pump(*p, slice);
        Py_END_ALLOW_THREADS
        if (check_signals && PyErr_CheckSignals() < 0) return Read::FAILED;
    }
}

std::optional<Clock::time_point> deadline_of(const EngineObject* obj) {
    if (obj->timeout < 0) return std::nullopt;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(obj->timeout));
}

std::string seconds_text(double s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

// Reads until a line equal to `answer`, handing every other line to
// `other`; a timeout ends the engine and raises TimeoutError.
template <typename F>
bool wait_for(EngineObject* obj, std::string_view command, std::string_view answer, F&& other) noexcept {
    const auto deadline = deadline_of(obj);
    std::string line;
    for (;;) {
        switch (read_line(obj, line, deadline)) {
            case Read::FAILED: return false;
            case Read::TIMEOUT: {
                const std::string message = "engine did not answer '" + std::string(command) + "' within " +
                                            seconds_text(obj->timeout) + " s";
                end_process(obj);
                PyErr_SetString(PyExc_TimeoutError, message.c_str());
                return false;
            }
            case Read::LINE: break;
        }
        auto [word, rest] = board::next_word(line);
        if (word == answer && board::next_word(rest).first.empty()) return true;
        if (!other(word, rest)) return false;
    }
}

bool alive(EngineObject* obj) noexcept {
    if (obj->proc) return true;
    raise_engine_error("the engine has ended (quit, died or timed out)");
    return false;
}

bool idle(EngineObject* obj) noexcept {
    if (!alive(obj)) return false;
    if (obj->searching) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the engine is running an analysis: stop it or read it to the end first");
        return false;
    }
    return true;
}

PyObject* text_object(std::string_view s) noexcept {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// The dict describing one declared option; the default read by its type as
// python-chess reads it.
PyObject* option_object(const board::UciOption& o) noexcept {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    Ref type(text_object(o.type));
    if (!type || PyDict_SetItemString(d.get(), "type", type.get()) < 0) return nullptr;
    Ref def;
    if (!o.default_value || o.type == "button" || o.type == "reset" || o.type == "save") {
        def = Ref::borrowed(Py_None);
    } else if (o.type == "check") {
        if (o.default_value->empty())
            def = Ref(text_object(""));
        else
            def = Ref::borrowed(*o.default_value != "false" ? Py_True : Py_False);
    } else if (o.type == "spin") {
        def = Ref(PyLong_FromString(o.default_value->c_str(), nullptr, 10));
        if (!def) {
            PyErr_Clear();
            def = Ref(text_object(*o.default_value));
        }
    } else {
        def = Ref(text_object(*o.default_value));
    }
    if (!def || PyDict_SetItemString(d.get(), "default", def.get()) < 0) return nullptr;
    Ref min(o.min ? PyLong_FromLongLong(*o.min) : Py_NewRef(Py_None));
    Ref max(o.max ? PyLong_FromLongLong(*o.max) : Py_NewRef(Py_None));
    if (!min || !max || PyDict_SetItemString(d.get(), "min", min.get()) < 0 ||
        PyDict_SetItemString(d.get(), "max", max.get()) < 0)
        return nullptr;
    Ref choices(PyList_New(0));
    if (!choices) return nullptr;
    for (const std::string& c : o.choices) {
        Ref s(text_object(c));
        if (!s || PyList_Append(choices.get(), s.get()) < 0) return nullptr;
    }
    if (PyDict_SetItemString(d.get(), "choices", choices.get()) < 0) return nullptr;
    return d.release();
}

// The declared option named `name`, matched without regard to case as UCI
// names are; a new reference to its name as declared, or nullptr.
PyObject* declared_name(EngineObject* obj, PyObject* name) noexcept {
    Ref lower(PyObject_CallMethod(name, "lower", nullptr));
    if (!lower) return nullptr;
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj->options, &pos, &key, &value)) {
        Ref k(PyObject_CallMethod(key, "lower", nullptr));
        if (!k) return nullptr;
        int eq = PyObject_RichCompareBool(k.get(), lower.get(), Py_EQ);
        if (eq < 0) return nullptr;
        if (eq) return Py_NewRef(key);
    }
    PyErr_Format(PyExc_ValueError, "the engine has no option %R", name);
    return nullptr;
}

// The `setoption` lines for a mapping of option names to values, all
// checked before any is sent.
bool option_lines(EngineObject* obj, PyObject* mapping, std::string& lines,
                  std::optional<std::int64_t>& multipv) noexcept {
    if (!PyDict_Check(mapping)) {
        PyErr_Format(PyExc_TypeError, "argument 'options': expected a dict, not '%s'", Py_TYPE(mapping)->tp_name);
        return false;
    }
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "option names are str, not '%s'", Py_TYPE(key)->tp_name);
            return false;
        }
        Ref name(declared_name(obj, key));
        if (!name) return false;
        const char* name_text = PyUnicode_AsUTF8(name.get());
        if (!name_text) return false;
        std::string line = std::string("setoption name ") + name_text;
        if (value == Py_None) {
            // A button: the name alone.
        } else if (PyBool_Check(value)) {
            line += value == Py_True ? " value true" : " value false";
        } else if (PyLong_Check(value)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (v == -1 && PyErr_Occurred()) return false;
            if (overflow) {
                PyErr_Format(PyExc_ValueError, "option %R: %R is out of range", name.get(), value);
                return false;
            }
            if (PyUnicode_CompareWithASCIIString(name.get(), "MultiPV") == 0) multipv = v;
            line += " value " + std::to_string(v);
        } else if (PyUnicode_Check(value)) {
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (!text) return false;
            std::string_view v(text, static_cast<std::size_t>(size));
            if (v.find_first_of("\r\n") != std::string_view::npos) {
                PyErr_Format(PyExc_ValueError, "option %R: a value holds no line break, got %R", name.get(), value);
                return false;
            }
            line += " value ";
            line += v;
        } else {
            PyErr_Format(PyExc_TypeError, "option %R: expected bool, int, str or None, not '%s'", name.get(),
                         Py_TYPE(value)->tp_name);
            return false;
        }
        lines += line + "\n";
    }
    return true;
}

bool apply_options(EngineObject* obj, PyObject* mapping) noexcept {
    std::string lines;
    std::optional<std::int64_t> multipv;
    if (!option_lines(obj, mapping, lines, multipv)) return false;
    if (lines.empty()) return true;
    if (!send(obj, lines + "isready\n")) return false;
    if (!wait_for(obj, "isready", "readyok", [](auto, auto) { return true; })) return false;
    if (multipv) obj->configured_multipv = obj->sent_multipv = *multipv;
    return true;
}

// ---------------------------------------------------------------- limits

// An int limit: None is absent, a bool or other type is TypeError, a
// negative value ValueError.
bool int_limit(PyObject* o, const char* name, std::optional<std::int64_t>& out) noexcept {
    if (!o || o == Py_None) return true;
    if (!PyLong_Check(o) || PyBool_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected int, not '%s'", name, Py_TYPE(o)->tp_name);
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a non-negative int, got %R", name, o);
        return false;
    }
    out = v;
    return true;
}

// Seconds given as an int or float: negative, infinite or NaN is ValueError.
bool seconds_limit(PyObject* o, const char* name, std::optional<double>& out) noexcept {
    if (!o || o == Py_None) return true;
    if (PyBool_Check(o) || !(PyLong_Check(o) || PyFloat_Check(o))) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected seconds as int or float, not '%s'", name,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(v) || v < 0 || v > 1e12) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a non-negative number of seconds, got %R", name, o);
        return false;
    }
    out = v;
    return true;
}

std::string ms(double seconds, bool at_least_one) {
    double v = seconds * 1000;
    if (at_least_one && v < 1) v = 1;
    return std::to_string(static_cast<std::int64_t>(v));
}

// The searched position, copied out of a Board argument.
struct Root {
    board::BoardState state;
    std::string position;
};

bool read_root(PyObject* o, Root& root) noexcept {
    PyTypeObject* type = board_type();
    if (!type) return false;
    if (!PyObject_TypeCheck(o, type)) {
        PyErr_Format(PyExc_TypeError, "argument 'board': expected Board, not '%s'", Py_TYPE(o)->tp_name);
        return false;
    }
    auto* b = reinterpret_cast<BoardObject*>(o);
    SharedBorrow borrow;
    if (!borrow.take(b->borrow)) return false;
    root.state = b->record.state();
    root.position = board::uci_position_command(b->record);
    root.position += '\n';
    return true;
}

struct SearchLimits {
    std::optional<std::int64_t> depth, nodes, mate, multipv;
    std::optional<double> time, white_clock, black_clock, white_inc, black_inc;

    std::string go() const {
        std::string s = "go";
        if (white_clock) s += " wtime " + ms(*white_clock, true);
        if (black_clock) s += " btime " + ms(*black_clock, true);
        if (white_inc) s += " winc " + ms(*white_inc, false);
        if (black_inc) s += " binc " + ms(*black_inc, false);
        if (depth) s += " depth " + std::to_string(*depth);
        if (nodes) s += " nodes " + std::to_string(*nodes);
        if (mate) s += " mate " + std::to_string(*mate);
        if (time) s += " movetime " + ms(*time, true);
        if (s == "go") s += " infinite";
        return s + "\n";
    }
    bool any() const { return depth || nodes || mate || time || white_clock || black_clock; }
};

// analyse / analysis: board, depth, nodes, time, mate, multipv.
bool read_analysis_limits(PyObject* const* argv, SearchLimits& l) noexcept {
    if (!int_limit(argv[1], "depth", l.depth) || !int_limit(argv[2], "nodes", l.nodes) ||
        !seconds_limit(argv[3], "time", l.time) || !int_limit(argv[4], "mate", l.mate) ||
        !int_limit(argv[5], "multipv", l.multipv))
        return false;
    if (l.multipv && *l.multipv < 1) {
        PyErr_Format(PyExc_ValueError, "argument 'multipv': expected at least 1, got %R", argv[5]);
        return false;
    }
    return true;
}

// Sends the position, the number of lines wanted and `go`.
bool start_search(EngineObject* obj, const Root& root, const SearchLimits& l) noexcept {
    const std::int64_t want = l.multipv ? *l.multipv : obj->configured_multipv;
    std::string text;
    if (want != obj->sent_multipv) text += "setoption name MultiPV value " + std::to_string(want) + "\n";
    // Fischer random castling is written as king takes rook, which the
    // engine reads as castling only in its Chess960 mode.
    if (root.state.chess960 != obj->sent_chess960)
        text += std::string("setoption name UCI_Chess960 value ") + (root.state.chess960 ? "true" : "false") + "\n";
    text += root.position;
    text += l.go();
    if (!send(obj, text)) return false;
    obj->sent_multipv = want;
    obj->sent_chess960 = root.state.chess960;
    return true;
}

// ---------------------------------------------------------------- info dicts

enum Key { K_STRING, K_DEPTH, K_SELDEPTH, K_MULTIPV, K_SCORE, K_LOWERBOUND, K_UPPERBOUND, K_WDL, K_NODES, K_NPS,
           K_HASHFULL, K_TBHITS, K_TIME, K_PV, K_CURRMOVE, K_CURRMOVENUMBER, K_CPULOAD, K_EBF, K_NB };
constexpr const char* KEY_NAMES[K_NB] = {"string", "depth", "seldepth", "multipv", "score", "lowerbound",
                                         "upperbound", "wdl", "nodes", "nps", "hashfull", "tbhits", "time",
                                         "pv", "currmove", "currmovenumber", "cpuload", "ebf"};
std::atomic<PyObject*> key_objects[K_NB];

PyObject* key(Key k) noexcept {
    if (PyObject* s = key_objects[k].load(std::memory_order_relaxed)) return s;
    PyObject* made = PyUnicode_InternFromString(KEY_NAMES[k]);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!key_objects[k].compare_exchange_strong(expected, made)) {
        Py_DECREF(made);
        return expected;
    }
    return made;  // kept for the process
}

bool put(PyObject* d, Key k, PyObject* owned) noexcept {
    Ref v(owned);
    PyObject* name = key(k);
    return v && name && PyDict_SetItem(d, name, v.get()) == 0;
}

PyObject* info_dict(const board::UciInfo& i, bool turn) noexcept {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    PyObject* o = d.get();
    auto num = [&](Key k, const std::optional<std::int64_t>& v) { return !v || put(o, k, PyLong_FromLongLong(*v)); };
    if (i.string && !put(o, K_STRING, text_object(*i.string))) return nullptr;
    if (!num(K_DEPTH, i.depth) || !num(K_SELDEPTH, i.seldepth) || !num(K_MULTIPV, i.multipv)) return nullptr;
    if (i.score && !put(o, K_SCORE, new_score(board::Score{*i.score, turn}))) return nullptr;
    if (i.lowerbound && !put(o, K_LOWERBOUND, Py_NewRef(Py_True))) return nullptr;
    if (i.upperbound && !put(o, K_UPPERBOUND, Py_NewRef(Py_True))) return nullptr;
    if (i.wdl && !put(o, K_WDL, Py_BuildValue("(LLL)", (*i.wdl)[0], (*i.wdl)[1], (*i.wdl)[2]))) return nullptr;
    if (!num(K_NODES, i.nodes) || !num(K_NPS, i.nps) || !num(K_HASHFULL, i.hashfull) || !num(K_TBHITS, i.tbhits))
        return nullptr;
    if (i.time_ms && !put(o, K_TIME, PyFloat_FromDouble(static_cast<double>(*i.time_ms) / 1000.0))) return nullptr;
    if (i.pv && !put(o, K_PV, new_move_list(i.pv->data(), i.pv->data() + i.pv->size()))) return nullptr;
    if (i.currmove && !put(o, K_CURRMOVE, new_move(*i.currmove))) return nullptr;
    if (!num(K_CURRMOVENUMBER, i.currmovenumber) || !num(K_CPULOAD, i.cpuload)) return nullptr;
    if (i.ebf && !put(o, K_EBF, PyFloat_FromDouble(*i.ebf))) return nullptr;
    return d.release();
}

// ---------------------------------------------------------------- searching

struct SearchResult {
    std::vector<board::UciInfo> lines;  // by multipv, merged as they came
    board::UciBestMove best;
};

void record_info(SearchResult& r, board::UciInfo&& info) {
    const std::int64_t index = info.multipv ? std::max<std::int64_t>(*info.multipv, 1) : 1;
    if (index > 500) return;  // no engine offers that many lines; a bogus number is no reason to allocate
    if (r.lines.size() < static_cast<std::size_t>(index)) r.lines.resize(static_cast<std::size_t>(index));
    r.lines[static_cast<std::size_t>(index - 1)].merge(std::move(info));
}

// After Ctrl-C: `stop`, then the lines up to `bestmove` are read and
// dropped, so the engine is ready for the next call; the interrupt is
// raised again after. An engine that does not stop within the timeout (or
// 10 s) is ended.
void stop_after_interrupt(EngineObject* obj) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (send(obj, "stop\n")) {
        const double wait = obj->timeout >= 0 ? obj->timeout : 10.0;
        const auto deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait));
        std::string line;
        for (;;) {
            Read r = read_line(obj, line, deadline, false);
            if (r == Read::TIMEOUT) {
                end_process(obj);
                break;
            }
            if (r == Read::FAILED) {
                PyErr_Clear();  // the interrupt is what the caller hears of
                break;
            }
            if (board::next_word(line).first == "bestmove") break;
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

// Handles one line of a running search; true when it was `bestmove`.
bool search_line(std::string_view line, const board::BoardState& root, SearchResult& r, board::UciInfo* last) {
    auto [word, rest] = board::next_word(line);
    if (word == "info") {
        board::UciInfo info = board::parse_uci_info(rest, root);
        if (last) *last = info;
        record_info(r, std::move(info));
    } else if (word == "bestmove") {
        r.best = board::parse_uci_bestmove(rest);
        return true;
    }
    return false;
}

// Reads a search to its end; false with an exception set.
bool finish_search(EngineObject* obj, const board::BoardState& root, SearchResult& r) noexcept {
    std::string line;
    try {
        for (;;) {
            switch (read_line(obj, line, std::nullopt)) {
                case Read::LINE: break;
                case Read::TIMEOUT: continue;
                case Read::FAILED:
                    if (obj->proc && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) stop_after_interrupt(obj);
                    return false;
            }
            if (search_line(line, root, r, nullptr)) return true;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// The best move checked in the searched position: nullopt for none, or
// EngineError naming an illegal or unreadable one.
bool checked_best(const board::BoardState& root, const board::UciBestMove& best, std::optional<board::Move>& move,
                  std::optional<board::Move>& ponder) noexcept {
    if (best.move.empty()) return true;
    try {
        board::Board scratch(root);
        move = scratch.apply_uci(best.move);
        if (!best.ponder.empty()) {
            try {
                ponder = scratch.apply_uci(best.ponder);
            } catch (const board::Invalid&) {
                // An unusable ponder move is no reason to lose the best one.
            }
        }
    } catch (const board::Invalid&) {
        const bool readable = board::Move::from_uci(best.move).has_value();
        raise_engine_error(std::string("engine sent ") + (readable ? "an illegal" : "an unreadable") +
                           " best move '" + best.move + "' in position " + board::Board(root).fen());
        return false;
    }
    return true;
}

PyObject* analyse_result(const SearchResult& r, bool turn, bool as_list, std::size_t limit) noexcept {
    if (!as_list) return info_dict(r.lines.empty() ? board::UciInfo{} : r.lines[0], turn);
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < r.lines.size() && i < limit; ++i) {
        if (r.lines[i].empty()) continue;
        Ref d(info_dict(r.lines[i], turn));
        if (!d || PyList_Append(list.get(), d.get()) < 0) return nullptr;
    }
    return list.release();
}

// ---------------------------------------------------------------- PlayResult

PyStructSequence_Field play_fields[] = {
    {"move", "The engine's move: a legal Move, or None when it had none."},
    {"ponder", "The reply the engine expects, a Move or None."},
    {"info", "The info dict of the search's best line."},
    {nullptr, nullptr},  // sentinel
};

PyStructSequence_Desc play_desc = {
    .name = "tavrinmoss.PlayResult",
    .doc = "PlayResult(move, ponder, info)\n--\n\nWhat Engine.play() returns.",
    .fields = play_fields,
    .n_in_sequence = 3,
};

std::atomic<PyTypeObject*> play_type{nullptr};

PyTypeObject* get_play_type() noexcept {
    if (PyTypeObject* t = play_type.load(std::memory_order_acquire)) return t;
    PyTypeObject* made = PyStructSequence_NewType(&play_desc);
    if (!made) return nullptr;
    // Immutable like the module's other types, before anyone can see it.
    made->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(made);
    PyTypeObject* expected = nullptr;
    if (!play_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

PyObject* move_or_none(const std::optional<board::Move>& m) noexcept {
    return m ? new_move(*m) : Py_NewRef(Py_None);
}

// ---------------------------------------------------------------- Engine methods

Signature NEW_SIG{"Engine", "__new__", {"command", "options", "timeout"}, 3, 1, 1};
Signature ANALYSE_SIG{"Engine", "analyse", {"board", "depth", "nodes", "time", "mate", "multipv"}, 6, 1, 1};
Signature ANALYSIS_SIG{"Engine", "analysis", {"board", "depth", "nodes", "time", "mate", "multipv"}, 6, 1, 1};
Signature PLAY_SIG{"Engine",
                   "play",
                   {"board", "time", "depth", "nodes", "white_clock", "black_clock", "white_inc", "black_inc"},
                   8,
                   1,
                   1};
Signature CONFIGURE_SIG{"Engine", "configure", {"options"}, 1, 1};

EngineObject* engine_of(PyObject* self) noexcept { return reinterpret_cast<EngineObject*>(self); }

// The command as the argument list to run: a path alone, or a list of them.
bool command_args(PyObject* command, std::vector<std::string>& argv, Ref& program) noexcept {
    auto add = [&](PyObject* item) -> bool {
        PyObject* bytes = nullptr;
        if (!PyUnicode_FSConverter(item, &bytes)) return false;
        Ref owned(bytes);
        const char* s = PyBytes_AS_STRING(bytes);
        if (std::strlen(s) != static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return false;
        }
        argv.emplace_back(s, static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        if (!program) program = Ref::borrowed(item);
        return true;
    };
    if (PyList_Check(command) || PyTuple_Check(command)) {
        Ref seq(PySequence_Fast(command, "command"));
        if (!seq) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        if (n == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'command': the argument list is empty");
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!add(PySequence_Fast_GET_ITEM(seq.get(), i))) return false;
        return true;
    }
    return add(command);
}

void engine_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = engine_of(self);
    if (obj->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject* pending = PyErr_GetRaisedException();
    end_process(obj);
    PyErr_SetRaisedException(pending);
    Py_XDECREF(obj->id);
    Py_XDECREF(obj->options);
    type->tp_free(self);
    Py_DECREF(type);
}

bool hook_registered = false;

// The handshake: `uci` up to `uciok` (collecting id and option lines), the
// options, then `isready` up to `readyok`.
bool handshake(EngineObject* obj, PyObject* options) noexcept {
    if (!send(obj, "uci\n")) return false;
    bool ok = wait_for(obj, "uci", "uciok", [&](std::string_view word, std::string_view rest) -> bool {
        if (word == "id") {
            auto [k, v] = board::next_word(rest);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
            Ref key(text_object(k)), value(text_object(v));
            return key && value && PyDict_SetItem(obj->id, key.get(), value.get()) == 0;
        }
        if (word == "option") {
            board::UciOption o = board::parse_uci_option(rest);
            Ref name(text_object(o.name));
            Ref d(option_object(o));
            if (!name || !d || PyDict_SetItem(obj->options, name.get(), d.get()) < 0) return false;
            if (o.name == "MultiPV" && o.default_value)
                if (auto v = std::strtoll(o.default_value->c_str(), nullptr, 10); v >= 1)
                    obj->configured_multipv = obj->sent_multipv = v;
        }
        return true;
    });
    if (!ok) return false;
    if (options && options != Py_None) {
        std::string lines;
        std::optional<std::int64_t> multipv;
        if (!option_lines(obj, options, lines, multipv)) return false;
        if (!send(obj, lines)) return false;
        if (multipv) obj->configured_multipv = obj->sent_multipv = *multipv;
    }
    if (!send(obj, "isready\n")) return false;
    return wait_for(obj, "isready", "readyok", [](auto, auto) { return true; });
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* argv[MAX_PARAMS];
            if (!parse_tuple(NEW_SIG, args, kwargs, argv)) return nullptr;
            double timeout = 10.0;
            if (argv[2] == Py_None) {
                timeout = -1;
            } else if (argv[2]) {
                std::optional<double> t;
                if (!seconds_limit(argv[2], "timeout", t)) return nullptr;
                timeout = *t;
            }
            if (argv[1] && argv[1] != Py_None && !PyDict_Check(argv[1])) {
                PyErr_Format(PyExc_TypeError, "argument 'options': expected a dict, not '%s'",
                             Py_TYPE(argv[1])->tp_name);
                return nullptr;
            }
            std::vector<std::string> command;
            Ref program;
            if (!command_args(argv[0], command, program)) return nullptr;
            if (!get_engine_error()) return nullptr;

            Ref self(type->tp_alloc(type, 0));
            if (!self) return nullptr;
            auto* obj = engine_of(self.get());
            new (&obj->borrow) BorrowFlag(0);
            obj->timeout = timeout;
            obj->configured_multipv = obj->sent_multipv = 1;
            obj->sent_chess960 = false;
            obj->id = PyDict_New();
            obj->options = PyDict_New();
            if (!obj->id || !obj->options) return nullptr;
            if (!hook_registered) {
                if (Py_AtExit(shutdown_all) < 0) {
                    PyErr_SetString(PyExc_RuntimeError, "could not register the engine exit hook");
                    return nullptr;
                }
                hook_registered = true;
            }
            obj->proc = new Process;
            if (int e = spawn(*obj->proc, command)) {
                delete std::exchange(obj->proc, nullptr);
                errno = e;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, program.get());
                return nullptr;
            }
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow)) return nullptr;
            // A failed handshake leaves the process to the dealloc of `self`.
            if (!handshake(obj, argv[1])) return nullptr;
            return self.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* engine_analyse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(ANALYSE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            SearchLimits l;
            Root root;
            if (!read_analysis_limits(argv, l) || !read_root(argv[0], root)) return nullptr;
            if (!l.any()) {
                PyErr_SetString(PyExc_ValueError,
                                "Engine.analyse() needs a limit: depth, nodes, time or mate");
                return nullptr;
            }
            auto* obj = engine_of(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow) || !idle(obj)) return nullptr;
            if (!start_search(obj, root, l)) return nullptr;
            SearchResult r;
            if (!finish_search(obj, root.state, r)) return nullptr;
            std::optional<board::Move> move, ponder;
            if (!checked_best(root.state, r.best, move, ponder)) return nullptr;
            return analyse_result(r, root.state.turn, l.multipv.has_value(),
                                  static_cast<std::size_t>(l.multipv.value_or(1)));
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* engine_play(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(PLAY_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            SearchLimits l;
            Root root;
            if (!seconds_limit(argv[1], "time", l.time) || !int_limit(argv[2], "depth", l.depth) ||
                !int_limit(argv[3], "nodes", l.nodes) || !seconds_limit(argv[4], "white_clock", l.white_clock) ||
                !seconds_limit(argv[5], "black_clock", l.black_clock) ||
                !seconds_limit(argv[6], "white_inc", l.white_inc) ||
                !seconds_limit(argv[7], "black_inc", l.black_inc) || !read_root(argv[0], root))
                return nullptr;
            if (!l.any()) {
                PyErr_SetString(PyExc_ValueError,
                                "Engine.play() needs a limit: time, depth, nodes or a clock");
                return nullptr;
            }
            auto* obj = engine_of(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow) || !idle(obj)) return nullptr;
            l.multipv = 1;
            if (!start_search(obj, root, l)) return nullptr;
            SearchResult r;
            if (!finish_search(obj, root.state, r)) return nullptr;
            std::optional<board::Move> move, ponder;
            if (!checked_best(root.state, r.best, move, ponder)) return nullptr;
            PyTypeObject* type = get_play_type();
            if (!type) return nullptr;
            Ref result(PyStructSequence_New(type));
            if (!result) return nullptr;
            PyObject* items[3] = {move_or_none(move), move_or_none(ponder),
                                  analyse_result(r, root.state.turn, false, 1)};
            bool ok = items[0] && items[1] && items[2];
            for (int i = 0; i < 3; ++i) {
                if (items[i]) PyStructSequence_SetItem(result.get(), i, items[i]);
                else PyStructSequence_SetItem(result.get(), i, Py_NewRef(Py_None));
            }
            return ok ? result.release() : nullptr;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* engine_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(CONFIGURE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            auto* obj = engine_of(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow) || !idle(obj)) return nullptr;
            if (!apply_options(obj, argv[0])) return nullptr;
            return Py_NewRef(Py_None);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* engine_quit(PyObject* self, PyObject*) noexcept {
    auto* obj = engine_of(self);
    ExclusiveBorrow borrow;
    if (!borrow.take(obj->borrow)) return nullptr;
    end_process(obj);
    return Py_NewRef(Py_None);
}

PyObject* engine_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* engine_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept { return engine_quit(self, nullptr); }

PyObject* engine_get_id(PyObject* self, void*) noexcept { return Py_NewRef(engine_of(self)->id); }
PyObject* engine_get_options(PyObject* self, void*) noexcept { return Py_NewRef(engine_of(self)->options); }

// ---------------------------------------------------------------- Analysis

struct AnalysisObject {
    PyObject_HEAD
    PyObject* engine;  // strong reference; nullptr once the search has ended
    board::BoardState root;
    SearchResult result;
};

extern TypeCache analysis_type_cache;

// Ends the iterator's hold on the engine.
void release_engine(AnalysisObject* a) noexcept {
    if (!a->engine) return;
    engine_of(a->engine)->searching = false;
    Py_CLEAR(a->engine);
}

// Stops the search and reads it to `bestmove`; false with an exception.
bool stop_search(AnalysisObject* a) noexcept {
    if (!a->engine) return true;
    // Releasing the engine may drop its last reference: kept until the borrow is given back.
    Ref keep = Ref::borrowed(a->engine);
    auto* obj = engine_of(a->engine);
    ExclusiveBorrow borrow;
    if (!borrow.take(obj->borrow)) return false;
    bool ok = true;
    if (obj->proc && send(obj, "stop\n")) {
        std::string line;
        while (obj->proc) {
            Read r = read_line(obj, line, std::nullopt, false);
            if (r != Read::LINE) {
                ok = false;
                break;
            }
            try {
                if (search_line(line, a->root, a->result, nullptr)) break;
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                ok = false;
                break;
            }
        }
    } else if (obj->proc) {
        ok = false;
    }
    release_engine(a);
    return ok;
}

void analysis_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* a = reinterpret_cast<AnalysisObject*>(self);
    if (a->engine) {
        PyObject* pending = PyErr_GetRaisedException();
        if (!stop_search(a)) PyErr_WriteUnraisable(self);
        release_engine(a);
        PyErr_SetRaisedException(pending);
    }
    a->result.~SearchResult();
    a->root.~BoardState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* analysis_next(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* a = reinterpret_cast<AnalysisObject*>(self);
            if (!a->engine) return nullptr;
            Ref keep = Ref::borrowed(a->engine);  // outlives the borrow, as in stop_search
            auto* obj = engine_of(a->engine);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow)) return nullptr;
            std::string line;
            for (;;) {
                if (!obj->proc) {
                    release_engine(a);
                    return raise_engine_error("the engine has ended (quit, died or timed out)"), nullptr;
                }
                switch (read_line(obj, line, std::nullopt)) {
                    case Read::LINE: break;
                    case Read::TIMEOUT: continue;
                    case Read::FAILED:
                        if (obj->proc && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) stop_after_interrupt(obj);
                        release_engine(a);
                        return nullptr;
                }
                board::UciInfo info;
                if (search_line(line, a->root, a->result, &info)) {
                    release_engine(a);
                    std::optional<board::Move> move, ponder;
                    if (!checked_best(a->root, a->result.best, move, ponder)) return nullptr;
                    return nullptr;  // StopIteration
                }
                // A line that says nothing readable is not handed out, as python-chess posts none.
                if (board::next_word(line).first == "info" && !info.empty()) return info_dict(info, a->root.turn);
            }
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* analysis_stop(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!stop_search(reinterpret_cast<AnalysisObject*>(self))) return nullptr;
            return Py_NewRef(Py_None);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* analysis_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }
PyObject* analysis_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept { return analysis_stop(self, nullptr); }

PyMethodDef analysis_methods[] = {
    {"stop", analysis_stop, METH_NOARGS,
     "stop($self, /)\n--\n\nStops the search: the engine's remaining lines up to its best move are read and "
     "dropped, and the iteration ends."},
    {"__enter__", analysis_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analysis_exit)), METH_FASTCALL,
     "__exit__($self, /, *args)\n--\n\nStops the search."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot analysis_slots[] = {
    {Py_tp_doc, const_cast<char*>("The info dicts of a running search, as the engine sends them; the iteration "
                                  "ends after the engine's best move.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(analysis_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(analysis_next)},
    {Py_tp_methods, analysis_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec analysis_spec = {
    .name = "tavrinmoss.Analysis",
    .basicsize = sizeof(AnalysisObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = analysis_slots,
};

TypeCache analysis_type_cache(&analysis_spec, "Analysis");

PyObject* engine_analysis(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(ANALYSIS_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            SearchLimits l;
            Root root;
            if (!read_analysis_limits(argv, l) || !read_root(argv[0], root)) return nullptr;
            PyTypeObject* type = require_type(analysis_type_cache, "Analysis");
            if (!type) return nullptr;
            auto* obj = engine_of(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow) || !idle(obj)) return nullptr;
            Ref it(type->tp_alloc(type, 0));
            if (!it) return nullptr;
            auto* a = reinterpret_cast<AnalysisObject*>(it.get());
            new (&a->root) board::BoardState(root.state);
            new (&a->result) SearchResult();
            if (!start_search(obj, root, l)) return nullptr;
            a->engine = Py_NewRef(self);
            obj->searching = true;
            return it.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef engine_methods[] = {
    {"analyse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_analyse)),
     METH_FASTCALL | METH_KEYWORDS,
     "analyse($self, board, /, *, depth=None, nodes=None, time=None, mate=None, multipv=None)\n--\n\n"
     "Searches the board's position (its starting position and moves, so the engine sees repetitions) "
     "within the limits given, at least one of depth, nodes, time (seconds) and mate, and returns the "
     "info dict of the best line: score (a Score for the side to move), pv (legal Moves), depth, "
     "seldepth, nodes, nps, time (seconds), multipv, and wdl, hashfull, tbhits when sent. With multipv=k, "
     "a list of up to k such dicts, best first. Raises TypeError or ValueError for a bad limit before "
     "anything is sent, EngineError when the engine dies or sends an illegal best move; Ctrl-C stops the "
     "search and raises KeyboardInterrupt with the engine ready for the next call."},
    {"play", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_play)), METH_FASTCALL | METH_KEYWORDS,
     "play($self, board, /, *, time=None, depth=None, nodes=None, white_clock=None, black_clock=None, "
     "white_inc=None, black_inc=None)\n--\n\n"
     "Asks the engine for a move within the limits given (clocks and increments in seconds) and returns a "
     "PlayResult: move (a legal Move), ponder (a Move or None) and info."},
    {"analysis", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_analysis)),
     METH_FASTCALL | METH_KEYWORDS,
     "analysis($self, board, /, *, depth=None, nodes=None, time=None, mate=None, multipv=None)\n--\n\n"
     "Starts a search (infinite without limits) and returns an iterator over its info dicts as the engine "
     "sends them, ending after the best move; its stop() ends it early. The engine serves nothing else "
     "until then."},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_configure)),
     METH_FASTCALL | METH_KEYWORDS,
     "configure($self, /, options)\n--\n\n"
     "Sets engine options from a dict of name to value (bool, int, str, or None for a button) and waits "
     "until the engine is ready; ValueError names an option the engine did not declare, TimeoutError "
     "ends an engine silent past the timeout."},
    {"quit", engine_quit, METH_NOARGS,
     "quit($self, /)\n--\n\nEnds the engine: `quit`, then a kill after a short grace period; the process is "
     "reaped. Calling it again does nothing."},
    {"__enter__", engine_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_exit)), METH_FASTCALL,
     "__exit__($self, /, *args)\n--\n\nQuits the engine."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyGetSetDef engine_getset[] = {
    {"id", engine_get_id, nullptr, "What the engine said of itself: a dict (name, author).", nullptr},
    {"options", engine_get_options, nullptr,
     "Every option the engine declared: a dict of name to a dict of type, default, min, max, choices.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyMemberDef engine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(EngineObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},  // sentinel
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Engine(command, *, options=None, timeout=10.0)\n--\n\n"
                    "A chess engine spoken to over UCI: `command` is a path or an argument list. Starts it, "
                    "does the handshake and applies `options`; an engine silent past `timeout` seconds "
                    "(None: no limit) in the handshake or a configure raises TimeoutError and is ended. "
                    "The process never outlives the object: it ends on quit(), on collection and at exit.")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_members, engine_members},
    {0, nullptr},  // sentinel
};

PyType_Spec engine_spec = {
    .name = "tavrinmoss.Engine",
    .basicsize = sizeof(EngineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = engine_slots,
};

TypeCache engine_type_cache(&engine_spec, "Engine");

}  // namespace

PyTypeObject* engine_type_object() noexcept { return engine_type_cache.get(); }
PyObject* engine_error_type() noexcept { return get_engine_error(); }

}  // namespace binding
