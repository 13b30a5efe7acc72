"""Engine, the UCI client: against Debian's stockfish, and against small fake
engines (Python scripts) for each way an engine can misbehave. python-chess's
chess.engine reads the same lines as the oracle for info dicts."""

import gc
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import chess
import chess.engine
import pytest

import tavrinmoss
from tavrinmoss import Board, Move

Engine = tavrinmoss.Engine
EngineError = tavrinmoss.EngineError

# These tests watch the engine's processes through /proc and time its
# answers; the 32-bit Arm root runs them emulated, with no /proc and a
# child interpreter that takes seconds to start. The engine's text side is
# tested there by the engine suite.
if not os.path.exists("/proc/self/task"):
    pytest.skip("the engine client's tests need /proc to watch its processes", allow_module_level=True)

STOCKFISH = shutil.which("stockfish") or (
    "/usr/games/stockfish" if os.access("/usr/games/stockfish", os.X_OK) else None)
needs_stockfish = pytest.mark.skipif(STOCKFISH is None, reason="Debian's stockfish is not installed")

# One fake engine, its behaviour picked by the first argument. It logs every
# command it receives to the file named by FAKE_LOG, when set.
FAKE = textwrap.dedent(r"""
    import os, sys, time
    mode = sys.argv[1]
    configured = False
    at_start = True
    lines_file = sys.argv[2] if len(sys.argv) > 2 else None
    log = open(os.environ["FAKE_LOG"], "a") if os.environ.get("FAKE_LOG") else None
    def out(s):
        sys.stdout.write(s + "\n"); sys.stdout.flush()
    if mode == "silent":
        for line in sys.stdin: pass
        time.sleep(60)
    for line in sys.stdin:
        cmd = line.strip()
        if log: log.write(cmd + "\n"); log.flush()
        if cmd == "uci":
            if mode == "slow": time.sleep(0.5)
            if mode == "garbage": out("\x01 nonsense \xff line"); out("option"); out("id")
            out("id name Fake Engine"); out("id author Someone Else")
            out("option name Hash type spin default 16 min 1 max 33554432")
            out("option name Style type combo default Normal var Solid var Normal var Risky")
            out("option name Clear Hash type button")
            out("option name Ponder type check default false")
            out("option name Book File type string default book.bin")
            out("option name MultiPV type spin default 1 min 1 max 500")
            out("uciok")
        elif cmd == "isready":
            if mode == "mute_ready_after_setoption" and configured: continue
            out("readyok")
        elif cmd.startswith("setoption"):
            configured = True
        elif cmd.startswith("position"):
            at_start = cmd == "position startpos"
        elif cmd.startswith("go"):
            if mode == "die":
                sys.stderr.write("searching...\nfatal: out of cheese\n"); sys.stderr.flush()
                sys.exit(3)
            if mode == "garbage": out("what is this"); out("info"); out("info depth x score cp"); out("")
            if mode == "infinite" and ("infinite" in cmd or "movetime" in cmd):
                i = 0
                while True:
                    i += 1
                    out(f"info depth {i} score cp {i} pv e2e4")
                    time.sleep(0.01)
                    import select
                    if select.select([sys.stdin], [], [], 0)[0]:
                        stop = sys.stdin.readline().strip()
                        if log: log.write(stop + "\n"); log.flush()
                        break
            if mode == "slow_go": time.sleep(1)
            if lines_file:
                for l in open(lines_file).read().splitlines(): out(l)
            else:
                out("info depth 1 score cp 12 pv e2e4")
            if mode == "illegal": out("bestmove e2e5")
            elif mode == "unreadable": out("bestmove xyzzy")
            elif lines_file is None or mode != "lines":
                out("bestmove e2e4 ponder e7e5" if at_start else "bestmove (none)")
        elif cmd == "quit":
            if mode == "ignore_quit": continue
            break
    if mode == "ignore_quit":
        while True: time.sleep(1)
""")


@pytest.fixture(scope="module")
def fake_script(tmp_path_factory):
    p = tmp_path_factory.mktemp("fake") / "fake_engine.py"
    p.write_text(FAKE)
    return str(p)


@pytest.fixture
def fake(fake_script, tmp_path, monkeypatch):
    log = tmp_path / "log"
    monkeypatch.setenv("FAKE_LOG", str(log))

    def make(mode="normal", *extra, **kwargs):
        return Engine([sys.executable, fake_script, mode, *extra], **kwargs)
    make.log = log
    make.script = fake_script
    return make


@pytest.fixture
def stockfish():
    if STOCKFISH is None:
        pytest.skip("Debian's stockfish is not installed")
    e = Engine(STOCKFISH)
    yield e
    e.quit()


def children():
    """The pids of this process's live children (zombies included)."""
    pids = set()
    for task in pathlib.Path("/proc/self/task").iterdir():
        pids.update(int(p) for p in (task / "children").read_text().split())
    return pids


def assert_reaped(pid):
    assert pid not in children()
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)


def new_child(make):
    before = children()
    e = make()
    (pid,) = children() - before
    return e, pid


# ---------------------------------------------------------------- handshake

@needs_stockfish
def test_handshake_matches_python_chess(stockfish):
    oracle = chess.engine.SimpleEngine.popen_uci(STOCKFISH)
    try:
        assert stockfish.id == oracle.id
        assert list(stockfish.options) == list(oracle.options)
        for name, opt in oracle.options.items():
            mine = stockfish.options[name]
            assert (mine["type"], mine["default"], mine["min"], mine["max"], mine["choices"]) == \
                (opt.type, opt.default, opt.min, opt.max, opt.var), name
    finally:
        oracle.quit()


def test_fake_handshake_and_configure(fake):
    e = fake()
    assert e.id == {"name": "Fake Engine", "author": "Someone Else"}
    assert e.options["Style"] == {"type": "combo", "default": "Normal", "min": None, "max": None,
                                  "choices": ["Solid", "Normal", "Risky"]}
    assert e.options["Ponder"]["default"] is False and e.options["Clear Hash"]["default"] is None
    assert e.options["Book File"]["default"] == "book.bin"
    e.configure({"hash": 64, "Ponder": True, "Clear Hash": None, "Book File": "x y.bin"})
    with pytest.raises(ValueError, match="no option 'Nope'"):
        e.configure({"Nope": 1})
    with pytest.raises(ValueError, match="line break"):
        e.configure({"Book File": "a\nquit"})
    e.quit()
    sent = fake.log.read_text().splitlines()
    assert sent[sent.index("isready") + 1:sent.index("quit")] == [
        "setoption name Hash value 64", "setoption name Ponder value true",
        "setoption name Clear Hash", "setoption name Book File value x y.bin", "isready"]


def test_options_at_start(fake):
    with fake(options={"Style": "Risky"}) as e:
        assert e.id["name"] == "Fake Engine"
    sent = fake.log.read_text().splitlines()
    assert sent[:3] == ["uci", "setoption name Style value Risky", "isready"]


# ---------------------------------------------------------------- start failures

def subprocess_error(cmd):
    with pytest.raises(OSError) as e:
        subprocess.Popen(cmd)
    return type(e.value)


@pytest.mark.parametrize("kind", ["missing path", "not on PATH", "not executable", "directory"])
def test_cannot_start(kind, tmp_path):
    cmd = {"missing path": str(tmp_path / "nope"), "not on PATH": "no-such-engine-anywhere",
           "not executable": str(tmp_path / "plain"), "directory": str(tmp_path)}[kind]
    (tmp_path / "plain").write_text("#!/bin/sh\n")
    expected = subprocess_error([cmd])
    assert expected in (FileNotFoundError, PermissionError)
    before = children()
    with pytest.raises(expected) as e:
        Engine(cmd)
    assert e.value.filename == cmd
    with pytest.raises(expected):
        Engine([cmd, "--flag"])
    assert children() == before


@pytest.mark.parametrize("kwargs, error", [
    ({"command": []}, ValueError), ({"command": 5}, TypeError), ({"command": "x", "timeout": -1}, ValueError),
    ({"command": "x", "options": [1]}, TypeError)])
def test_bad_constructor_arguments(kwargs, error):
    with pytest.raises(error):
        Engine(**kwargs)


# ---------------------------------------------------------------- info dicts

INFO_LINES = [
    "info string NNUE evaluation enabled",
    "info depth 1 seldepth 2 multipv 1 score cp 17 nodes 20 nps 20000 hashfull 3 tbhits 0 time 1 pv e2e4 e7e5",
    "info depth 2 seldepth 3 multipv 1 score cp -8 lowerbound nodes 100 nps 50000 time 2 pv d2d4",
    "info depth 2 seldepth 4 multipv 2 score mate 3 upperbound wdl 900 90 10 nodes 120 time 3 pv g1f3 g8f6 b1c3",
    "info depth 2 multipv 3 score mate -0 nodes 130 time 4 pv c2c4",
    "info depth 3 multipv 1 score mate -2 wdl 0 10 990 currmove e2e4 currmovenumber 1 pv e2e4 e7e5 g1f3",
    "info depth 4 multipv 2 score cp 5 nodes 140 ebf 1.5 cpuload 500 unknownfield 7 pv b1c3",
    "info depth 4 multipv 3 score mate 0 pv a2a3 a7a6",
]


def comparable(info):
    out = {}
    for k, v in info.items():
        if k == "score":
            v = (v.turn, v.relative.score(mate_score=100000), v.relative.mate(), v.relative.is_mate(),
                 v.white().score(mate_score=100000))
        elif k == "pv":
            v = [m.uci() for m in v]
        elif k == "currmove":
            v = v.uci()
        elif k == "wdl":
            v = tuple(v.relative) if hasattr(v, "relative") else v
        out[k] = v
    return out


@pytest.mark.parametrize("moves", [[], ["e2e4"]], ids=["white to move", "black to move"])
def test_info_matches_python_chess(fake, tmp_path, moves):
    lines = tmp_path / "lines"
    # The moves must be legal for either side to move: answers to 1. e4 in the second case.
    text = "\n".join(INFO_LINES) + "\nbestmove e2e4\n"
    if moves:
        text = text.replace("e2e4 e7e5 g1f3", "e7e5 g1f3 b8c6").replace("pv e2e4", "pv e7e5") \
            .replace("pv d2d4", "pv d7d5").replace("g1f3 g8f6 b1c3", "g8f6 b1c3 b8c6") \
            .replace("pv c2c4", "pv c7c5").replace("pv b1c3", "pv b8c6").replace("currmove e2e4", "currmove e7e5") \
            .replace("bestmove e2e4", "bestmove e7e5").replace("a2a3 a7a6", "a7a6 a2a3")
    lines.write_text(text)
    board, oracle_board = Board(), chess.Board()
    for m in moves:
        board.apply_uci(m)
        oracle_board.push_uci(m)
    cmd = [sys.executable, fake.script, "lines", str(lines)]
    oracle = chess.engine.SimpleEngine.popen_uci(cmd)
    try:
        expected = oracle.analyse(oracle_board, chess.engine.Limit(depth=4), multipv=3)
        single = oracle.analyse(oracle_board, chess.engine.Limit(depth=4))
    finally:
        oracle.quit()
    with Engine(cmd) as e:
        got = e.analyse(board, depth=4, multipv=3)
        got_single = e.analyse(board, depth=4)
    assert [comparable(i) for i in got] == [comparable(i) for i in expected]
    assert comparable(got_single) == comparable(single)
    assert got[2]["score"].relative.mate() == 0 and got[1]["wdl"] == (900, 90, 10)


ODD_LINES = [
    "info depth 5 score cp",
    "info nodes abc depth 6 time 2500",
    "info score foo 3 depth 7 hashfull 999",
    "info score cp 12 upperbound",
    "info",
    "info string   spaced   out  text ",
    "info depth 8 wdl 1 2 multipv 2",
    "info currmove zz99 currmovenumber 4 tbhits 7 seldepth 9 nps 1",
]


def test_info_lines_one_by_one_match_python_chess(fake, tmp_path):
    lines = tmp_path / "lines"
    lines.write_text("\n".join(INFO_LINES[:3] + ODD_LINES) + "\nbestmove e2e4\n")
    cmd = [sys.executable, fake.script, "lines", str(lines)]
    oracle = chess.engine.SimpleEngine.popen_uci(cmd)
    try:
        with oracle.analysis(chess.Board(), chess.engine.Limit(depth=9)) as analysis:
            expected = [comparable(i) for i in analysis]
    finally:
        oracle.quit()
    with Engine(cmd) as e:
        got = [comparable(i) for i in e.analysis(Board(), depth=9)]
    assert got == expected and len(got) == 3 + len(ODD_LINES) - 1  # the bare "info" gives none


def test_pv_cut_at_first_illegal_move(fake, tmp_path):
    lines = tmp_path / "lines"
    lines.write_text("info depth 5 score cp 1 pv e2e4 e7e5 e4e5 g1f3 nodes 9\nbestmove e2e4\n")
    with fake("lines", str(lines)) as e:
        info = e.analyse(Board(), depth=5)
    # The moves after the illegal one are dropped, not read as fields.
    assert [m.uci() for m in info["pv"]] == ["e2e4", "e7e5"] and info["nodes"] == 9
    assert all(type(m) is Move for m in info["pv"])


def test_garbage_lines_are_skipped(fake):
    with fake("garbage") as e:
        info = e.analyse(Board(), depth=1)
        assert info["depth"] == 1 and info["score"].relative.score() == 12
        assert e.play(Board(), depth=1).move.uci() == "e2e4"


# ---------------------------------------------------------------- commands sent

def sent_commands(fake, calls):
    with fake() as e:
        calls(e)
    return [l for l in fake.log.read_text().splitlines() if l.startswith(("position", "go", "setoption"))]


def test_position_and_go_commands(fake):
    castled = Board()
    castled.apply_movetext("1. e4 e5 2. Nf3 Nc6 3. Bc4 Bc5 4. O-O")
    custom = Board("4k3/8/8/8/8/8/8/4K2R w K - 0 1")
    custom.apply_uci("e1g1")
    edited = Board("4k3/8/8/8/8/8/8/4K2R w K - 0 1")

    def calls(e):
        e.analyse(Board(), depth=1)
        e.analyse(castled, nodes=1000)
        e.analyse(custom, time=0.25, mate=2)
        e.analyse(edited, time=0.0001, multipv=2)
        e.analyse(edited, depth=3)
        e.play(castled, white_clock=60, black_clock=59.5, white_inc=2, black_inc=0.5)
        e.play(Board(), time=1.5, depth=7, nodes=9)
    assert sent_commands(fake, calls) == [
        "position startpos", "go depth 1",
        "position startpos moves e2e4 e7e5 g1f3 b8c6 f1c4 f8c5 e1g1", "go nodes 1000",
        "position fen 4k3/8/8/8/8/8/8/4K2R w K - 0 1 moves e1g1", "go mate 2 movetime 250",
        "setoption name MultiPV value 2", "position fen 4k3/8/8/8/8/8/8/4K2R w K - 0 1", "go movetime 1",
        "setoption name MultiPV value 1", "position fen 4k3/8/8/8/8/8/8/4K2R w K - 0 1", "go depth 3",
        "position startpos moves e2e4 e7e5 g1f3 b8c6 f1c4 f8c5 e1g1", "go wtime 60000 btime 59500 winc 2000 binc 500",
        "position startpos", "go depth 7 nodes 9 movetime 1500",
    ]


def test_chess960_option_follows_the_board(fake):
    fischer = Board.from_fen("4k3/8/8/8/8/8/8/R1K3bR w HA - 0 1", chess960=True)
    fischer.apply_uci("c1a1")

    def calls(e):
        e.analyse(fischer, depth=1)
        e.analyse(fischer, depth=2)
        e.analyse(Board(), depth=1)
    assert sent_commands(fake, calls) == [
        "setoption name UCI_Chess960 value true", "position fen 4k3/8/8/8/8/8/8/R1K3bR w KQ - 0 1 moves c1a1",
        "go depth 1",
        "position fen 4k3/8/8/8/8/8/8/R1K3bR w KQ - 0 1 moves c1a1", "go depth 2",
        "setoption name UCI_Chess960 value false", "position startpos", "go depth 1",
    ]


@needs_stockfish
def test_chess960_with_stockfish(stockfish):
    # The engine must read the position's rights and king-takes-rook moves as Fischer random ones.
    board = Board.from_chess960_pos(0)
    for _ in range(8):
        result = stockfish.play(board, depth=6)
        assert board.is_legal(result.move)
        board.apply_move(result.move)
    info = stockfish.analyse(board, depth=8)
    replay = board.copy()
    for m in info["pv"]:
        assert replay.is_legal(m)
        replay.apply_move(m)


@pytest.mark.parametrize("method, kwargs, error", [
    ("analyse", {}, ValueError),
    ("analyse", {"depth": 1.5}, TypeError),
    ("analyse", {"depth": "3"}, TypeError),
    ("analyse", {"depth": True}, TypeError),
    ("analyse", {"depth": -1}, ValueError),
    ("analyse", {"nodes": -5}, ValueError),
    ("analyse", {"mate": 2.0}, TypeError),
    ("analyse", {"time": -0.5}, ValueError),
    ("analyse", {"time": float("nan")}, ValueError),
    ("analyse", {"time": "1"}, TypeError),
    ("analyse", {"depth": 1, "multipv": 0}, ValueError),
    ("analyse", {"depth": 2**70}, ValueError),
    ("play", {}, ValueError),
    ("play", {"white_clock": -1}, ValueError),
    ("play", {"black_inc": "2"}, TypeError),
    ("analysis", {"depth": -1}, ValueError),
])
def test_bad_limits_send_nothing(fake, method, kwargs, error):
    with fake() as e:
        with pytest.raises(error):
            getattr(e, method)(Board(), **kwargs)
        with pytest.raises(TypeError):
            getattr(e, method)("not a board", depth=1)
        with pytest.raises(TypeError, match="positional"):
            getattr(e, method)(Board(), 1)
        assert e.analyse(Board(), depth=1)["depth"] == 1  # still in step
    sent = fake.log.read_text().splitlines()
    assert [l for l in sent if l.startswith("go")] == ["go depth 1"]


# ---------------------------------------------------------------- best moves

@pytest.mark.parametrize("mode, text", [("illegal", "illegal best move 'e2e5'"),
                                        ("unreadable", "unreadable best move 'xyzzy'")])
def test_bad_bestmove(fake, mode, text):
    with fake(mode) as e:
        for call in (lambda: e.play(Board(), depth=1), lambda: e.analyse(Board(), depth=1),
                     lambda: list(e.analysis(Board(), depth=1))):
            with pytest.raises(EngineError, match=text) as err:
                call()
            assert isinstance(err.value, RuntimeError)


@needs_stockfish
def test_play_and_analyse_with_stockfish(stockfish):
    board = Board()
    for _ in range(6):
        result = stockfish.play(board, white_clock=5, black_clock=5, white_inc=0.1, black_inc=0.1)
        assert board.is_legal(result.move)
        assert result.ponder is None or type(result.ponder) is Move
        assert result.info["score"].turn == board.turn
        board.apply_move(result.move)
    info = stockfish.analyse(board, depth=8)
    assert {"score", "pv", "depth", "seldepth", "nodes", "nps", "time", "multipv"} <= set(info)
    assert info["depth"] == 8 and isinstance(info["time"], float)
    replay = board.copy()
    for m in info["pv"]:
        assert replay.is_legal(m)
        replay.apply_move(m)
    lines = stockfish.analyse(board, depth=6, multipv=3)
    assert [i["multipv"] for i in lines] == [1, 2, 3]
    assert len({i["pv"][0].uci() for i in lines}) == 3
    assert lines[0]["score"].relative >= lines[2]["score"].relative
    info = stockfish.analyse(Board("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1"), depth=5)
    assert info["score"].relative.mate() == 1 and info["pv"][0].uci() == "d1d8"
    # Black to move, mated next move whatever it plays.
    info = stockfish.analyse(Board("k7/8/1K6/8/8/8/8/7R b - - 0 1"), depth=5)
    assert info["score"].relative.mate() == -1 and info["score"].white().mate() == 1
    assert stockfish.play(Board("7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"), depth=1).move is None


@needs_stockfish
def test_repetition_is_seen(stockfish):
    # White, a queen down, draws by repetition only if the engine sees the history.
    board = Board()
    for m in ["g1f3", "g8f6", "f3g1", "f6g8", "g1f3", "g8f6", "f3g1", "f6g8"]:
        board.apply_uci(m)
    info = stockfish.analyse(board, depth=10)
    assert info["score"].relative.score() is not None


# ---------------------------------------------------------------- analysis iterator

def test_analysis_iterator_stop(fake):
    with fake("infinite") as e:
        it = e.analysis(Board())
        seen = [next(it) for _ in range(5)]
        assert [i["depth"] for i in seen] == [1, 2, 3, 4, 5]
        with pytest.raises(RuntimeError, match="analysis"):
            e.analyse(Board(), depth=1)
        it.stop()
        assert list(it) == []
        it.stop()
        with e.analysis(Board()) as it2:
            next(it2)
        assert list(it2) == []
        del it, it2
        assert e.analyse(Board(), depth=1)["depth"] >= 1
    sent = fake.log.read_text().splitlines()
    assert sent.count("go infinite") == 2 and sent.count("stop") == 2


def test_analysis_dropped_while_running(fake):
    e = fake("infinite")
    it = e.analysis(Board())
    next(it)
    del it
    gc.collect()
    assert e.analyse(Board(), depth=1)["depth"] >= 1
    e.quit()


@needs_stockfish
def test_analysis_to_the_end(stockfish):
    infos = list(stockfish.analysis(Board(), depth=6))
    assert {i["depth"] for i in infos if "depth" in i} >= {1, 6}
    assert stockfish.analyse(Board(), depth=1)["depth"] == 1


# ---------------------------------------------------------------- failures

def test_engine_dies_during_search(fake):
    e, pid = new_child(lambda: fake("die"))
    with pytest.raises(EngineError, match=r"exit code: 3") as err:
        e.analyse(Board(), depth=1)
    assert "fatal: out of cheese" in str(err.value) and "searching..." in str(err.value)
    assert_reaped(pid)
    with pytest.raises(EngineError, match="ended"):
        e.analyse(Board(), depth=1)
    e.quit()


@pytest.mark.parametrize("script, status", [("echo oops >&2; exit 4", "exit code: 4"),
                                            ("read line; echo bye >&2; kill -9 $$", "killed by signal 9")])
def test_engine_dies_in_the_handshake(script, status):
    before = children()
    with pytest.raises(EngineError, match=status) as err:
        Engine(["sh", "-c", script])
    assert "oops" in str(err.value) or "bye" in str(err.value)
    assert children() == before


@pytest.mark.parametrize("mode", ["silent", "slow"])
def test_handshake_timeout_ends_the_process(fake, mode):
    before = children()
    t0 = time.monotonic()
    with pytest.raises(TimeoutError, match="'uci' within 0.2 s"):
        fake(mode, timeout=0.2)
    assert time.monotonic() - t0 < 5
    gc.collect()
    assert children() == before


def test_slow_handshake_within_timeout(fake):
    with fake("slow", timeout=5) as e:
        assert e.id["name"] == "Fake Engine"


def test_configure_timeout_ends_the_process(fake):
    e, pid = new_child(lambda: fake("mute_ready_after_setoption", timeout=0.3))
    with pytest.raises(TimeoutError, match="'isready'"):
        e.configure({"Hash": 1})
    assert_reaped(pid)
    with pytest.raises(EngineError):
        e.play(Board(), depth=1)


# ---------------------------------------------------------------- process lifetime

@pytest.mark.parametrize("end", ["quit", "with", "collect", "cycle", "ignore_quit"])
def test_process_is_reaped(fake, end):
    mode = "ignore_quit" if end == "ignore_quit" else "normal"
    e, pid = new_child(lambda: fake(mode))
    if end in ("quit", "ignore_quit"):
        t0 = time.monotonic()
        e.quit()
        e.quit()
        assert time.monotonic() - t0 < 3
    elif end == "with":
        with e:
            pass
    elif end == "collect":
        del e
    else:
        holder = [e]
        holder.append(holder)
        del e, holder
        gc.collect()
    assert_reaped(pid)


def test_process_ended_at_interpreter_exit(fake_script):
    code = textwrap.dedent(f"""
        import sys, tavrinmoss
        e = tavrinmoss.Engine([sys.executable, {fake_script!r}, "ignore_quit"])
        keep = [e]; keep.append(keep)   # a cycle, left to the exit
        import pathlib
        kids = set()
        for t in pathlib.Path("/proc/self/task").iterdir():
            kids.update((t / "children").read_text().split())
        print(*kids)
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    (pid,) = map(int, r.stdout.split())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


# ---------------------------------------------------------------- threads and interrupts

def test_one_engine_two_threads(fake):
    with fake("slow_go") as e:
        errors, results = [], []
        t = threading.Thread(target=lambda: results.append(e.analyse(Board(), depth=1)))
        t.start()
        time.sleep(0.3)
        t0 = time.monotonic()
        with pytest.raises(RuntimeError, match="Already borrowed"):
            e.analyse(Board(), depth=1)
        with pytest.raises(RuntimeError, match="Already borrowed"):
            e.configure({"Hash": 1})
        assert time.monotonic() - t0 < 0.5
        t.join()
        assert results[0]["depth"] == 1 and not errors


def test_waits_release_the_gil(fake):
    engines = [fake("slow_go"), fake("slow_go")]
    results = []
    threads = [threading.Thread(target=lambda e=e: results.append(e.analyse(Board(), depth=1))) for e in engines]
    for t in threads:
        t.start()
    # Python code runs here while both searches wait: neither holds the GIL through its wait.
    both_waiting = 0
    while all(t.is_alive() for t in threads):
        both_waiting += 1
        time.sleep(0.01)
    for t in threads:
        t.join()
    assert both_waiting > 10 and [r["depth"] for r in results] == [1, 1]
    for e in engines:
        e.quit()


INTERRUPTED = textwrap.dedent("""
    import sys, tavrinmoss
    e = tavrinmoss.Engine(sys.argv[1:])
    print("ready", flush=True)
    try:
        e.analyse(tavrinmoss.Board(), time=60)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    info = e.analyse(tavrinmoss.Board(), depth=1)
    print("next", info["depth"], flush=True)
    e.quit()
""")


@pytest.mark.parametrize("engine", ["stockfish", "fake"])
def test_ctrl_c_stops_the_search(fake_script, engine):
    if engine == "stockfish":
        if STOCKFISH is None:
            pytest.skip("Debian's stockfish is not installed")
        cmd = [STOCKFISH]
    else:
        cmd = [sys.executable, fake_script, "infinite"]
    p = subprocess.Popen([sys.executable, "-c", INTERRUPTED, *cmd], stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline() == "ready\n"
        time.sleep(0.5)
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=30)
    finally:
        p.kill()
    assert out.split("\n")[:2] == ["interrupted", "next 1"]
    assert p.returncode == 0
