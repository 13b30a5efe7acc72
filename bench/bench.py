"""Side-by-side speed and memory figures for tavrinmoss, bulletchess, python-chess and Stockfish.

Every timed case runs each library once per round, in an order that rotates from round to round, and
reports the median over the rounds, so drift in a shared machine's load lands on every library alike.
Run under CPython 3.13 (bulletchess needs it): ``python bench/bench.py [--quick]``.
"""

from __future__ import annotations

import argparse
import gc
import io
import importlib.metadata
import math
import os
import pickle
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import tavrinmoss

try:
    import bulletchess
    import bulletchess.pgn
    import bulletchess.utils as bulletchess_utils
except ImportError:
    bulletchess = None
try:
    import chess
except ImportError:
    chess = None
try:
    import numpy
except ImportError:
    numpy = None
try:
    import fastchess
except ImportError:
    fastchess = None
try:
    import tensor_chess
except ImportError:
    tensor_chess = None

ns = time.perf_counter_ns

GAMES_PGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data", "games.pgn")

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
# name, FEN; perft counts from depth 1 where a native figure needs them
POSITIONS = [
    ("start", START),
    ("kiwipete", KIWIPETE),
    ("pos3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1"),
    ("pos4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1"),
    ("pos5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8"),
    ("pos6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10"),
]
EXPECTED = {
    START: [20, 400, 8902, 197281, 4865609, 119060324],
    KIWIPETE: [48, 2039, 97862, 4085603, 193690690],
}

TM, BC, PC, SF = "tavrinmoss", "bulletchess", "python-chess", "stockfish"
FC, TC = "fastchess", "tensor-chess"

problems: list[str] = []


def check(what: str, got: int, want: int) -> None:
    if got != want:
        problems.append(f"{what}: got {got}, expected {want}")


# ---------------------------------------------------------------- library adapters

def new_board(lib: str, fen: str):
    if lib == TM:
        return tavrinmoss.Board(fen)
    if lib == BC:
        return bulletchess.Board.from_fen(fen)
    return chess.Board(fen)


def legal_moves_loop(lib: str, board) -> Callable[[int], None]:
    # One loop per library keeps a wrapper call out of the timed body.
    if lib == PC:
        def run(n: int) -> None:
            for _ in range(n):
                list(board.legal_moves)
    else:
        legal = board.legal_moves

        def run(n: int) -> None:
            for _ in range(n):
                legal()
    return run


def move_count(lib: str, board) -> int:
    return len(list(board.legal_moves)) if lib == PC else len(board.legal_moves())


def python_perft(lib: str, board, depth: int) -> int:
    """Counts leaves, playing and taking back every move down to the last ply."""
    if lib == TM:
        legal, play, undo = board.legal_moves, board.apply_move, board.pop
    elif lib == BC:
        legal, play, undo = board.legal_moves, board.apply, board.undo
    else:
        play, undo = board.push, board.pop

        def legal():
            return list(board.legal_moves)

    def walk(depth: int) -> int:
        moves = legal()
        if depth == 1:
            for move in moves:
                play(move)
                undo()
            return len(moves)
        nodes = 0
        for move in moves:
            play(move)
            nodes += walk(depth - 1)
            undo()
        return nodes

    return walk(depth)


class Stockfish:
    def __init__(self, path: str):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.name = "stockfish"
        self.send("uci")
        for line in self.lines("uciok"):
            if line.startswith("id name "):
                self.name = line[len("id name "):]
        self.ready()

    def send(self, text: str) -> None:
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def lines(self, until: str):
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("stockfish exited")
            line = line.strip()
            yield line
            if line.startswith(until):
                return

    def ready(self) -> None:
        self.send("isready")
        for _ in self.lines("readyok"):
            pass

    def perft(self, fen: str, depth: int) -> tuple[int, int]:
        """Returns (nodes, ns) from sending "go perft" to reading its total."""
        self.send(f"position fen {fen}")
        self.ready()
        t0 = ns()
        self.send(f"go perft {depth}")
        for line in self.lines("Nodes searched"):
            pass
        elapsed = ns() - t0
        return int(line.split(":")[1]), elapsed

    def close(self) -> None:
        try:
            self.send("quit")
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


# ---------------------------------------------------------------- measurement

def rounds_of(libs: list[str], rounds: int, sample: Callable[[str], float | None],
              budget_s: float, max_rounds: dict[str, int] | None = None) -> dict[str, list[float]]:
    """Runs sample(lib) round-robin; a library stops early once it has used budget_s (one round at least)."""
    results: dict[str, list[float]] = {lib: [] for lib in libs}
    spent = {lib: 0 for lib in libs}
    for r in range(rounds):
        order = libs[r % len(libs):] + libs[:r % len(libs)]
        for lib in order:
            if r and (spent[lib] > budget_s * 1e9 or r >= (max_rounds or {}).get(lib, rounds)):
                continue
            # Collection stays off while a case is timed, but the cycles a
            # case leaves (python-chess's game trees) go before the next one:
            # a heap that only grows slows whichever case runs late.
            gc.collect()
            t0 = ns()
            value = sample(lib)
            spent[lib] += ns() - t0
            if value is not None:
                results[lib].append(value)
    return results


def median(values: list[float]) -> float | None:
    return statistics.median(values) if values else None


def calibrate(run: Callable[[int], None], target_ns: int) -> int:
    n = 1
    while True:
        t0 = ns()
        run(n)
        elapsed = ns() - t0
        if elapsed >= target_ns // 4:
            return max(1, int(n * target_ns / max(elapsed, 1)))
        n *= 4


def bench_legal_moves(libs: list[str], rounds: int, target_ms: float, budget_s: float):
    rows = []
    for name, fen in POSITIONS:
        runs, calls, counts = {}, {}, {}
        for lib in libs:
            board = new_board(lib, fen)
            counts[lib] = move_count(lib, board)
            runs[lib] = legal_moves_loop(lib, board)
            calls[lib] = calibrate(runs[lib], int(target_ms * 1e6))
        if len(set(counts.values())) > 1:
            problems.append(f"{name}: legal move counts differ: {counts}")

        def sample(lib: str) -> float:
            t0 = ns()
            runs[lib](calls[lib])
            return (ns() - t0) / calls[lib] / 1000

        rows.append((name, {lib: median(v) for lib, v in rounds_of(libs, rounds, sample, budget_s).items()}))
    return rows


def bench_python_perft(libs: list[str], depth: int, rounds: int, pc_rounds: int, budget_s: float):
    rows = []
    for name, fen in (("start", START), ("kiwipete", KIWIPETE)):
        want = EXPECTED[fen][depth - 1]
        boards = {lib: new_board(lib, fen) for lib in libs}

        def sample(lib: str) -> float:
            t0 = ns()
            nodes = python_perft(lib, boards[lib], depth)
            elapsed = ns() - t0
            check(f"{lib} {name} python perft({depth})", nodes, want)
            return nodes / elapsed * 1e9

        res = rounds_of(libs, rounds, sample, budget_s, {PC: pc_rounds})
        rows.append((f"{name} d{depth}", want, {lib: (median(v), len(v)) for lib, v in res.items()}))
    return rows


def bench_native_perft(libs: list[str], cases: list[tuple[str, str, int]], rounds: int, budget_s: float,
                       stockfish: Stockfish | None):
    rows = []
    for name, fen, depth in cases:
        want = EXPECTED[fen][depth - 1]
        boards = {lib: new_board(lib, fen) for lib in libs if lib != SF}

        def sample(lib: str) -> float:
            if lib == SF:
                nodes, elapsed = stockfish.perft(fen, depth)
            else:
                t0 = ns()
                if lib == TM:
                    nodes = boards[lib].perft(depth)
                else:
                    nodes = bulletchess_utils.perft(boards[lib], depth)
                elapsed = ns() - t0
            check(f"{lib} {name} native perft({depth})", nodes, want)
            return nodes / elapsed * 1e9

        res = rounds_of(libs, rounds, sample, budget_s)
        rows.append((f"{name} d{depth}", want, {lib: (median(v), len(v)) for lib, v in res.items()}))
    return rows


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def bench_memory(calls: int):
    empty = tavrinmoss.Board()
    sizes = {"start": sys.getsizeof(empty), "kiwipete": sys.getsizeof(tavrinmoss.Board(KIWIPETE))}
    boards = [tavrinmoss.Board(fen) for _, fen in POSITIONS]
    warmup = max(1, calls // 20)
    checkpoints = 10

    def churn(n: int) -> None:
        for i in range(n):
            board = boards[i % 6]
            moves = board.legal_moves()
            board.apply_move(moves[i % len(moves)])
            board.pop()

    before = rss_kib()
    churn(warmup)
    after_warmup = rss_kib()
    samples = []
    t0 = ns()
    for _ in range(checkpoints):
        churn(max(1, calls // checkpoints))
        samples.append(rss_kib())
    elapsed_s = (ns() - t0) / 1e9
    for board, (name, fen) in zip(boards, POSITIONS):
        check(f"memory loop leaves {name} unchanged", int(board.fen() == fen), 1)
    return sizes, before, after_warmup, samples, elapsed_s


# ---------------------------------------------------------------- per-call operations

def first_legal_uci(fen: str) -> str:
    return tavrinmoss.Board(fen).legal_moves()[0].uci()


def with_history(lib: str, fen: str, plies: int):
    """A board of `lib` after `plies` moves of a fixed game from `fen` (the same moves for every library)."""
    board = new_board(lib, fen)
    probe = tavrinmoss.Board(fen)
    for i in range(plies):
        legal = probe.legal_moves()
        if not legal:
            break
        uci = legal[(7 * i + 3) % len(legal)].uci()
        probe.apply_uci(uci)
        if lib == TM:
            board.apply_uci(uci)
        elif lib == BC:
            board.apply(bulletchess.Move.from_uci(uci))
        else:
            board.push_uci(uci)
    return board


def op_zobrist(lib: str, fen: str):
    board = new_board(lib, fen)
    if lib == TM:
        f = board.zobrist_hash
        def run(n):
            for _ in range(n):
                f()
    elif lib == BC:
        def run(n):
            for _ in range(n):
                hash(board)
    else:
        from chess.polyglot import zobrist_hash
        def run(n):
            for _ in range(n):
                zobrist_hash(board)
    return run


def op_outcome(lib: str, fen: str):
    board = new_board(lib, fen)
    if lib == BC:
        mate, draw = bulletchess.CHECKMATE, bulletchess.FORCED_DRAW
        def run(n):
            for _ in range(n):
                board in mate or board in draw
    else:
        f = board.outcome
        def run(n):
            for _ in range(n):
                f()
    return run


def op_piece_map(lib: str, fen: str):
    board = new_board(lib, fen)
    if lib == BC:
        squares = bulletchess.SQUARES
        def run(n):
            for _ in range(n):
                [board[s] for s in squares]
    else:
        f = board.piece_map
        def run(n):
            for _ in range(n):
                f()
    return run


def op_piece_at(lib: str, fen: str):
    board = new_board(lib, fen)
    if lib == BC:
        squares = bulletchess.SQUARES
        def run(n):
            for _ in range(n):
                for s in squares:
                    board[s]
    else:
        # A ready list of square objects, as bulletchess.SQUARES is one: a
        # range would charge these libraries for making the ints as well.
        f = board.piece_at
        squares = list(range(64))
        def run(n):
            for _ in range(n):
                for s in squares:
                    f(s)
    return run


def op_apply_uci(lib: str, fen: str):
    board, uci = new_board(lib, fen), first_legal_uci(fen)
    if lib == TM:
        apply, pop = board.apply_uci, board.pop
        def run(n):
            for _ in range(n):
                apply(uci)
                pop()
    elif lib == BC:
        parse, apply, undo = bulletchess.Move.from_uci, board.apply, board.undo
        def run(n):
            for _ in range(n):
                apply(parse(uci))
                undo()
    else:
        push, pop = board.push_uci, board.pop
        def run(n):
            for _ in range(n):
                push(uci)
                pop()
    return run


def op_apply_move(lib: str, fen: str):
    board, uci = new_board(lib, fen), first_legal_uci(fen)
    if lib == TM:
        move, apply, pop = tavrinmoss.Move.from_uci(uci), board.apply_move, board.pop
    elif lib == BC:
        move, apply, pop = bulletchess.Move.from_uci(uci), board.apply, board.undo
    else:
        move, apply, pop = chess.Move.from_uci(uci), board.push, board.pop
    def run(n):
        for _ in range(n):
            apply(move)
            pop()
    return run


def op_is_legal(lib: str, fen: str):
    if lib == BC:
        return None
    board, uci = new_board(lib, fen), first_legal_uci(fen)
    move = (tavrinmoss.Move if lib == TM else chess.Move).from_uci(uci)
    f = board.is_legal
    def run(n):
        for _ in range(n):
            f(move)
    return run


def op_pickle(lib: str, fen: str):
    if lib == BC:
        return None
    board = with_history(lib, fen, 40)
    dumps, loads = pickle.dumps, pickle.loads
    try:
        loads(dumps(board))
    except Exception:
        return None
    def run(n):
        for _ in range(n):
            loads(dumps(board))
    return run


# label, factory(lib, fen) -> run(n) or None where a library has no such operation
OPERATIONS: list[tuple[str, Callable]] = [
    ("zobrist_hash()", op_zobrist),
    ("outcome()", op_outcome),
    ("piece_map()", op_piece_map),
    ("piece_at() x 64", op_piece_at),
    ("apply_uci() + pop()", op_apply_uci),
    ("apply_move() + pop()", op_apply_move),
    ("is_legal()", op_is_legal),
    ("pickle round trip, 40-ply history", op_pickle),
]


def bench_operations(libs: list[str], rounds: int, target_ms: float, budget_s: float):
    """Per operation: microseconds per call on each position, and per-library geomeans over the positions."""
    rows = []
    for label, factory in OPERATIONS:
        per_lib: dict[str, list[float]] = {lib: [] for lib in libs}
        ratios_bc, ratios_pc = [], []
        for _, fen in POSITIONS:
            runs = {lib: r for lib in libs if (r := factory(lib, fen)) is not None}
            present = list(runs)
            calls = {lib: calibrate(runs[lib], int(target_ms * 1e6)) for lib in present}

            def sample(lib: str) -> float:
                t0 = ns()
                runs[lib](calls[lib])
                return (ns() - t0) / calls[lib] / 1000

            med = {lib: median(v) for lib, v in rounds_of(present, rounds, sample, budget_s).items()}
            for lib, v in med.items():
                per_lib[lib].append(v)
            ratios_bc.append(ratio(med.get(BC), med.get(TM)))
            ratios_pc.append(ratio(med.get(PC), med.get(TM)))
        rows.append((label, {lib: geomean(v) if v else None for lib, v in per_lib.items()},
                     geomean(ratios_bc), geomean(ratios_pc)))
    return rows



# ---------------------------------------------------------------- arrays

def loop_of(call: Callable[[], object]) -> Callable[[int], None]:
    def run(n: int) -> None:
        for _ in range(n):
            call()
    return run


def bench_arrays(rounds: int, target_ms: float, budget_s: float):
    """Per position, ns per call: planes() against fastchess's Board.to_tensor() (a new array each call), and
    planes() filling a given array against tensor-chess's Position.to_tensor(buffer)."""
    rows = []
    for name, fen in POSITIONS:
        board = tavrinmoss.Board(fen)
        out = numpy.empty((12, 8, 8), numpy.uint8)
        runs = {"planes()": loop_of(board.planes), "planes(out=out)": loop_of(lambda: board.planes(out=out)),
                "planes(False, out)": loop_of(lambda: board.planes(False, out))}
        if fastchess:
            fc_board = fastchess.Board(fen)
            if fc_board.fen().split()[:4] != fen.split()[:4]:
                problems.append(f"{name}: fastchess reads {fen} as {fc_board.fen()}")
            runs[FC] = loop_of(fc_board.to_tensor)
        if tensor_chess:
            tc_position = tensor_chess.Position(fen)
            if tc_position.fen().split()[:4] != fen.split()[:4]:
                problems.append(f"{name}: tensor-chess reads {fen} as {tc_position.fen()}")
            buffer = numpy.empty((15, 8, 8), numpy.uint8)
            runs[TC] = loop_of(lambda: tc_position.to_tensor(buffer))
        runs["legal_move_mask()"] = loop_of(board.legal_move_mask)
        if chess:
            pc_board = chess.Board(fen)
            if not numpy.array_equal(python_chess_mask(pc_board), board.legal_move_mask()):
                problems.append(f"{name}: legal_move_mask() differs from the python-chess loop's")
            runs[PC] = loop_of(lambda: python_chess_mask(pc_board))
        calls = {case: calibrate(run, int(target_ms * 1e6)) for case, run in runs.items()}

        def sample(case: str) -> float:
            t0 = ns()
            runs[case](calls[case])
            return (ns() - t0) / calls[case]

        rows.append((name, {case: median(v) for case, v in rounds_of(list(runs), rounds, sample, budget_s).items()}))
    return rows


QUEEN_DIRECTIONS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]
KNIGHT_STEPS = [(2, 1), (1, 2), (-1, 2), (-2, 1), (-2, -1), (-1, -2), (1, -2), (2, -1)]


def python_chess_mask(board):
    """The legal move mask as a Python program builds it without native help: python-chess's legal
    moves, each encoded by hand into a NumPy array."""
    mask = numpy.zeros(4672, bool)
    flip = 56 if board.turn == chess.BLACK else 0
    for move in board.legal_moves:
        src, dst = move.from_square ^ flip, move.to_square ^ flip
        dr, df = dst // 8 - src // 8, dst % 8 - src % 8
        if move.promotion in (chess.KNIGHT, chess.BISHOP, chess.ROOK):
            plane = 64 + 3 * (move.promotion - chess.KNIGHT) + df + 1
        elif abs(dr * df) == 2:
            plane = 56 + KNIGHT_STEPS.index((dr, df))
        else:
            distance = max(abs(dr), abs(df))
            plane = 7 * QUEEN_DIRECTIONS.index((dr // distance, df // distance)) + distance - 1
        mask[73 * src + plane] = True
    return mask


# ---------------------------------------------------------------- notation

def op_san(lib: str, fen: str):
    """SAN of every legal move; run(n) returns nothing, per_call is the move count."""
    board = new_board(lib, fen)
    if lib == TM:
        moves, f = board.legal_moves(), board.san
        def run(n):
            for _ in range(n):
                for m in moves:
                    f(m)
    elif lib == BC:
        moves = board.legal_moves()
        def run(n):
            for _ in range(n):
                for m in moves:
                    m.san(board)
    else:
        moves, f = list(board.legal_moves), board.san
        def run(n):
            for _ in range(n):
                for m in moves:
                    f(m)
    return run, len(moves)


def read_games_file() -> list[tuple[str, str]] | None:
    """(tag section, movetext) of every game of the corpus that holds no variation (bulletchess reads none)."""
    if not os.path.exists(GAMES_PGN):
        return None
    with open(GAMES_PGN, encoding="utf-8") as f:
        parts = f.read().strip().split("\n\n")
    games = list(zip(parts[0::2], parts[1::2]))
    return [(tags, moves) for tags, moves in games if "(" not in moves]


def game_sans(movetext: str) -> list[str]:
    board, replay = tavrinmoss.Board(), tavrinmoss.Board()
    board.apply_movetext(movetext)
    sans = []
    for m in board.move_stack:
        sans.append(replay.san(m))
        replay.apply_move(m)
    return sans


def op_apply_san(lib: str, sans: list[str]):
    """Plays a game's SAN moves one by one from the start, then takes them all back."""
    board = new_board(lib, START)
    if lib == TM:
        play, undo = board.apply_san, board.pop
    elif lib == BC:
        parse, apply, undo = bulletchess.Move.from_san, board.apply, board.undo
        def play(text):
            apply(parse(text, board))
    else:
        play, undo = board.push_san, board.pop
    def run(n):
        for _ in range(n):
            for text in sans:
                play(text)
            for _ in sans:
                undo()
    return run


def op_replay(lib: str, text: str, path: str):
    """Reads a PGN text and plays every game's mainline; run(1) returns the number of moves."""
    if lib == TM:
        Board = tavrinmoss.Board
        def run(n):
            moves = 0
            for _ in range(n):
                parts = text.split("\n\n")
                for movetext in parts[1::2]:
                    moves += Board().apply_movetext(movetext)
            return moves
    elif lib == BC:
        open_file = bulletchess.pgn.PGNFile.open
        def run(n):
            moves = 0
            for _ in range(n):
                f = open_file(path)
                while (game := f.next_game()) is not None:
                    moves += len(game.moves)
                f.close()
            return moves
    else:
        import io
        import chess.pgn
        def run(n):
            moves = 0
            for _ in range(n):
                handle = io.StringIO(text)
                while (game := chess.pgn.read_game(handle)) is not None:
                    board = game.board()
                    for move in game.mainline_moves():
                        board.push(move)
                        moves += 1
            return moves
    return run


def bench_notation(libs: list[str], rounds: int, target_ms: float, budget_s: float, games: int):
    """Rows of (label, {lib: value}, unit, higher_is_better)."""
    rows = []
    per_move: dict[str, list[float]] = {lib: [] for lib in libs}
    for name, fen in POSITIONS:
        made = {lib: op_san(lib, fen) for lib in libs}
        runs = {lib: r for lib, (r, _) in made.items()}
        counts = {lib: c for lib, (_, c) in made.items()}
        calls = {lib: calibrate(runs[lib], int(target_ms * 1e6)) for lib in libs}

        def sample(lib: str) -> float:
            t0 = ns()
            runs[lib](calls[lib])
            return (ns() - t0) / calls[lib] / counts[lib] / 1000

        med = {lib: median(v) for lib, v in rounds_of(libs, rounds, sample, budget_s).items()}
        rows.append((f"san(), {name} ({counts[TM]} moves)", med, "us/move", False))
        for lib in libs:
            per_move[lib].append(med[lib])
    rows.append(("san(), geomean", {lib: geomean(v) for lib, v in per_move.items()}, "us/move", False))

    corpus = read_games_file()
    if corpus is None:
        problems.append(f"{GAMES_PGN} is absent: notation rows over games left out")
        return rows
    # The longest of the first games, for a game long enough to leave the opening.
    sans = max((game_sans(moves) for _, moves in corpus[:50]), key=len)
    runs = {lib: op_apply_san(lib, sans) for lib in libs}
    calls = {lib: calibrate(runs[lib], int(target_ms * 1e6)) for lib in libs}

    def sample(lib: str) -> float:
        t0 = ns()
        runs[lib](calls[lib])
        return (ns() - t0) / calls[lib] / len(sans) / 1000

    med = {lib: median(v) for lib, v in rounds_of(libs, rounds, sample, budget_s).items()}
    rows.append((f"apply_san() + pop(), a {len(sans)}-ply game", med, "us/move", False))

    chosen = corpus[:games]
    text = "\n\n".join(f"{tags}\n\n{moves}" for tags, moves in chosen) + "\n"
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "games.pgn")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        runs = {lib: op_replay(lib, text, path) for lib in libs}
        moves = {lib: runs[lib](1) for lib in libs}
        if len(set(moves.values())) > 1:
            problems.append(f"movetext replay: move counts differ: {moves}")

        def sample(lib: str) -> float:
            t0 = ns()
            runs[lib](1)
            return moves[lib] / (ns() - t0) * 1e9

        med = {lib: median(v) for lib, v in rounds_of(libs, rounds, sample, budget_s).items()}
    rows.append((f"movetext replay, {len(chosen)} games ({moves[TM]:,} moves)", med, "moves/s", True))
    return rows


# ---------------------------------------------------------------- game records

def op_read_pgn(lib: str, path: str):
    """Reads a PGN file and plays every game's mainline; run(1) returns the number of moves."""
    if lib == TM:
        read = tavrinmoss.Board.read_pgn
        def run(n):
            moves = 0
            for _ in range(n):
                for _, board in read(path):
                    moves += len(board.move_stack)
            return moves
    elif lib == BC:
        return op_replay(BC, "", path)
    else:
        import chess.pgn
        def run(n):
            moves = 0
            for _ in range(n):
                with open(path, encoding="utf-8") as handle:
                    while (game := chess.pgn.read_game(handle)) is not None:
                        board = game.board()
                        for move in game.mainline_moves():
                            board.push(move)
                            moves += 1
            return moves
    return run


def op_export(lib: str, path: str):
    """Writes every game of a file as PGN text; the games are read beforehand."""
    if lib == BC:
        return None
    if lib == TM:
        games = list(tavrinmoss.Board.read_pgn(path))
        def run(n):
            for _ in range(n):
                for headers, board in games:
                    board.pgn(headers)
    else:
        import chess.pgn
        games = []
        for headers, board in tavrinmoss.Board.read_pgn(path):
            game = chess.pgn.Game()
            for name, value in headers.items():
                game.headers[name] = value
            node = game
            for move in board.move_stack:
                node = node.add_variation(chess.Move.from_uci(move.uci()))
            games.append(game)
        def run(n):
            for _ in range(n):
                for game in games:
                    game.accept(chess.pgn.StringExporter(columns=80))
    return run


def bench_game_records(libs: list[str], rounds: int, budget_s: float, games: int, big_mb: int):
    """Rows of (label, {lib: value}, unit, higher_is_better), and the memory rows of a large file."""
    rows = []
    corpus = read_games_file()
    if corpus is None:
        problems.append(f"{GAMES_PGN} is absent: game record rows left out")
        return rows, []
    chosen = corpus[:games]
    text = "\n\n".join(f"{tags}\n\n{moves}" for tags, moves in chosen) + "\n"
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "games.pgn")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        runs = {lib: op_read_pgn(lib, path) for lib in libs}
        moves = {lib: runs[lib](1) for lib in libs}
        if len(set(moves.values())) > 1:
            problems.append(f"read_pgn: move counts differ: {moves}")

        def sample(lib: str) -> float:
            t0 = ns()
            runs[lib](1)
            return moves[lib] / (ns() - t0) * 1e9

        med = {lib: median(v) for lib, v in rounds_of(libs, rounds, sample, budget_s).items()}
        rows.append((f"read_pgn, {len(chosen)} games ({moves[TM]:,} moves)", med, "moves/s", True))

        exports = {lib: r for lib in libs if (r := op_export(lib, path)) is not None}

        def sample(lib: str) -> float:
            t0 = ns()
            exports[lib](1)
            return (ns() - t0) / moves[TM] / 1000

        med = {lib: median(v) for lib, v in rounds_of(list(exports), rounds, sample, budget_s).items()}
        rows.append(("pgn() of the same games", med, "us/move", False))
        del runs, exports
    return rows, read_big_file(big_mb) if big_mb else []


def bench_annotated(rounds: int, budget_s: float, pc_games: int):
    """Rows of (label, value, unit, peer, peer value) for annotated reading of the whole corpus."""
    if not os.path.exists(GAMES_PGN):
        problems.append(f"{GAMES_PGN} is absent: annotated rows left out")
        return []
    path = str(GAMES_PGN)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    pieces = text.split("\n\n[")
    strings = [pieces[0]] + ["[" + p for p in pieces[1:]]
    subset = "\n\n[".join(pieces[:pc_games]) + "\n"
    read = tavrinmoss.Board.read_pgn

    def ours_annotated() -> int:
        n = 0
        for game in read(path):
            for score in game.evals:
                n += score is not None
            for clock in game.clocks:
                n += clock is not None
        return n

    def ours_plain() -> int:
        return sum(len(board.move_stack) for _, board in read(path))

    def rust_annotated() -> int:
        import rust_pgn_reader_python_binding as rust
        parsed = rust.parse_games_from_strings(strings, num_threads=1, store_comments=True)
        n = 0
        for i in range(len(parsed)):
            game = parsed[i]
            n += len(game.evals) + len(game.clocks)
        return n

    def pc_annotated() -> int:
        import chess.pgn
        handle = io.StringIO(subset)
        n = 0
        while (game := chess.pgn.read_game(handle)) is not None:
            for node in game.mainline():
                n += (node.eval() is not None) + (node.clock() is not None)
        return n

    def ours_headers() -> int:
        return sum(1 for _ in tavrinmoss.Board.read_headers(path))

    def pc_headers() -> int:
        import chess.pgn
        handle = io.StringIO(subset)
        n = 0
        while chess.pgn.read_headers(handle) is not None:
            n += 1
        return n

    def ours_where() -> int:
        keep = {str(i) for i in range(0, 3000, 10)}
        n = 0
        count = iter(range(10**9))
        for _, board in read(path, where=lambda h: str(next(count)) in keep):
            n += len(board.move_stack)
        return n

    moves = ours_plain()
    pc_moves = sum(len(b.move_stack) for _, b in read(io.StringIO(subset)))
    games = len(strings)
    cases = {
        "annotated": (ours_annotated, moves),
        "rust": (rust_annotated, moves),
        "python-chess": (pc_annotated, pc_moves),
        "headers": (ours_headers, games),
        "pc headers": (pc_headers, pc_games),
        "plain": (ours_plain, moves),
        "where 1 in 10": (ours_where, moves),
    }
    try:
        import rust_pgn_reader_python_binding  # noqa: F401
    except ImportError:
        problems.append("rust-pgn-reader-python-binding is not installed: its row left out")
        del cases["rust"]
    rates: dict[str, list[float]] = {k: [] for k in cases}
    spent = 0.0
    for r in range(rounds):
        for name, (run, units) in cases.items():
            if r and name == "python-chess" and spent > budget_s:
                continue
            gc.collect()  # as in rounds_of
            t0 = ns()
            run()
            dt = ns() - t0
            if name == "python-chess":
                spent += dt / 1e9
            rates[name].append(units / dt * 1e9)
    med = {k: median(v) for k, v in rates.items()}
    return [
        ("read_pgn, every Score and clock touched", med["annotated"], "moves/s",
         "rust-pgn-reader (1 thread, store_comments, evals + clocks read)", med.get("rust")),
        ("read_pgn, every Score and clock touched", med["annotated"], "moves/s",
         f"python-chess read_game + eval() + clock() ({pc_games} games)", med["python-chess"]),
        ("read_headers", med["headers"], "games/s", f"python-chess read_headers ({pc_games} games)",
         med["pc headers"]),
        ("read_pgn, where keeps 1 game in 10 (moves of the whole file per second)", med["where 1 in 10"],
         "moves/s", "read_pgn of every game", med["plain"]),
    ]


def read_big_file(big_mb: int) -> list[list[str]]:
    """Resident memory while one pass reads a file of the whole corpus repeated to big_mb."""
    with open(GAMES_PGN, encoding="utf-8") as f:
        whole = f.read().strip() + "\n\n"
    copies = max(1, big_mb * 2**20 // len(whole.encode()))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.pgn")
        with open(path, "w", encoding="utf-8") as f:
            for _ in range(copies):
                f.write(whole)
        size = os.path.getsize(path)
        gc.collect()
        before = rss_kib()
        samples, games_read, moves_read = [], 0, 0
        t0 = ns()
        for _, board in tavrinmoss.Board.read_pgn(path):
            games_read += 1
            moves_read += len(board.move_stack)
            if games_read % 3000 == 0:
                samples.append(rss_kib())
        secs = (ns() - t0) / 1e9
        batch_rss, positions = [], 0
        t1 = ns()
        if numpy is not None:
            for batch in tavrinmoss.Board.read_samples(path):
                positions += len(batch["game"])
                batch_rss.append(rss_kib())
        sample_secs = (ns() - t1) / 1e9
    growth = max(samples) - samples[0] if samples else 0
    memory = [
        ["file (the corpus repeated)", f"{size / 2**20:,.0f} MiB, {games_read:,} games, {moves_read:,} moves"],
        ["RSS before / first checkpoint / last checkpoint / max", f"{before:,} / {samples[0]:,} / "
         f"{samples[-1]:,} / {max(samples):,} KiB" if samples else "n/a"],
        ["RSS growth after the first checkpoint", f"{growth:+,} KiB"],
        ["read_pgn rate over the file", f"{moves_read / secs:,.0f} moves/s"],
    ]
    if growth > 4096:
        problems.append(f"read_pgn: RSS grew by {growth} KiB over a {size / 2**20:.0f} MiB file")
    if batch_rss:
        # The first batches fill the reader's buffers and the reused memory.
        settled = batch_rss[min(3, len(batch_rss) - 1)]
        sample_growth = max(batch_rss) - settled
        memory += [
            ["read_samples over the file: batches, RSS after the fourth / last / max",
             f"{len(batch_rss):,} batches, {settled:,} / {batch_rss[-1]:,} / {max(batch_rss):,} KiB"],
            ["read_samples: RSS growth after the fourth batch", f"{sample_growth:+,} KiB"],
            ["read_samples rate over the file", f"{positions / sample_secs:,.0f} positions/s"],
        ]
        if sample_growth > 4096:
            problems.append(f"read_samples: RSS grew by {sample_growth} KiB over a {size / 2**20:.0f} MiB file")
    return memory


# ---------------------------------------------------------------- report

def version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith(("model name", "Model", "Hardware")):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


# ---------------------------------------------------------------- training samples

def python_chess_samples(text: str) -> int:
    """The read_samples columns built by a python-chess walk and NumPy, as a program writes it without
    read_samples; returns the rows."""
    import io
    import chess.pgn
    cols: dict[str, list] = {k: [] for k in ("game", "ply", "bitboards", "turn", "castling", "en_passant",
                                               "half_move_clock", "move_from", "move_to", "promotion",
                                               "eval_cp", "eval_mate", "has_eval", "clock", "result")}
    handle = io.StringIO(text)
    number = 0
    while (game := chess.pgn.read_game(handle)) is not None:
        result = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}.get(game.headers.get("Result"), -2)
        board = game.board()
        for ply, node in enumerate(game.mainline()):
            move = node.move
            cols["game"].append(number)
            cols["ply"].append(ply)
            cols["bitboards"].append([board.pieces_mask(k, c) for c in (True, False) for k in range(1, 7)])
            cols["turn"].append(board.turn)
            cols["castling"].append([board.has_kingside_castling_rights(True), board.has_queenside_castling_rights(True),
                                     board.has_kingside_castling_rights(False),
                                     board.has_queenside_castling_rights(False)])
            cols["en_passant"].append(-1 if board.ep_square is None else board.ep_square)
            cols["half_move_clock"].append(board.halfmove_clock)
            cols["move_from"].append(move.from_square)
            cols["move_to"].append(move.to_square)
            cols["promotion"].append(move.promotion or 0)
            score = node.eval()
            white = score.white() if score is not None else None
            cols["has_eval"].append(white is not None)
            cols["eval_mate"].append(white.mate() if white is not None and white.is_mate() else 0)
            cols["eval_cp"].append(white.score() if white is not None and not white.is_mate() else 0)
            clock = node.clock()
            cols["clock"].append(math.nan if clock is None else clock)
            cols["result"].append(result)
            board.push(move)
        number += 1
    dtypes = {"game": "int32", "ply": "uint16", "bitboards": "uint64", "turn": "bool", "castling": "bool",
              "en_passant": "int8", "half_move_clock": "uint16", "move_from": "uint8", "move_to": "uint8",
              "promotion": "uint8", "eval_cp": "int32", "eval_mate": "int16", "has_eval": "bool",
              "clock": "float32", "result": "int8"}
    arrays = {k: numpy.array(v, dtype=dtypes[k]) for k, v in cols.items()}
    return len(arrays["game"])


def bench_samples(rounds: int, budget_s: float, subset: int):
    """Positions per second over the corpus: read_samples with one and two threads, the Rust reader on one
    thread, and (on the first `subset` games, scaled) a python-chess + NumPy walk."""
    try:
        import rust_pgn_reader_python_binding as rust_pgn
    except ImportError:
        rust_pgn = None
        problems.append("rust-pgn-reader-python-binding is not installed: its samples row is left out")
    with open(GAMES_PGN, encoding="utf-8") as f:
        text = f.read()
    # The Rust reader takes one string per game: the text cut where a tag line follows a blank line.
    pieces = text.split("\n\n[")
    games = [p if i == 0 else "[" + p for i, p in enumerate(pieces)]
    subset_text = "\n\n[".join(pieces[:subset]) + "\n"
    positions = sum(len(b["game"]) for b in tavrinmoss.Board.read_samples(GAMES_PGN))

    def ours(threads: int) -> Callable[[], int]:
        def run() -> int:
            return sum(len(b["game"]) for b in tavrinmoss.Board.read_samples(GAMES_PGN, threads=threads))
        return run

    def rust() -> int:
        parsed = rust_pgn.parse_games_from_strings(games, num_threads=1, store_comments=True)
        rows = 0
        for game in parsed:
            game.boards, game.evals
            rows += len(game.clocks)
        return rows

    runs: dict[str, Callable[[], int]] = {"read_samples, threads=1": ours(1), "read_samples, threads=2": ours(2)}
    if rust_pgn:
        runs["rust-pgn-reader, num_threads=1"] = rust
    if chess:
        runs["python-chess + NumPy"] = lambda: python_chess_samples(subset_text)
    counts = {case: run() for case, run in runs.items()}
    for case in runs:
        if case.startswith(("read_samples", "rust")) and counts[case] != positions:
            problems.append(f"samples: {case} gives {counts[case]} rows, read_samples {positions}")

    # CPU time beside the wall clock: on a shared machine a second thread may find no free core, and
    # positions per CPU second tell the work done from the time waited.
    cpu: dict[str, list[float]] = {case: [] for case in runs}

    def sample(case: str) -> float:
        t0, c0 = ns(), time.process_time()
        rows = runs[case]()
        wall, used = ns() - t0, time.process_time() - c0
        cpu[case].append(rows / used if used > 0 else math.nan)
        return rows / wall * 1e9

    wall = {case: median(v) for case, v in rounds_of(list(runs), rounds, sample, budget_s).items()}
    return wall, {case: median(v) for case, v in cpu.items()}, positions


# ---------------------------------------------------------------- opening books and diagrams

def bench_chess960(rounds: int, target_ms: float, budget_s: float):
    """Fischer random boards against standard ones, in one run: perft and legal_moves() on the same
    positions read both ways (castling through the position's own plans, or through fixed squares),
    and perft over numbered starts against the standard start."""
    B = tavrinmoss.Board
    modes = ["standard", "chess960"]
    rows = []
    same = [("kiwipete", KIWIPETE), ("start", START),
            ("castles both ways", "r3k2r/pppq1ppp/2n1bn2/2bpp3/2BPP3/2N1BN2/PPPQ1PPP/R3K2R w KQkq - 4 8")]
    for name, fen in same:
        boards = {"standard": B.from_fen(fen), "chess960": B.from_fen(fen, chess960=True)}
        n = len(boards["standard"].legal_moves())
        if len(boards["chess960"].legal_moves()) != n:
            problems.append(f"{name}: legal move counts differ between the modes")
        calls = calibrate(lambda k, b=boards["standard"]: [b.legal_moves() for _ in range(k)], int(target_ms * 1e6))

        def sample(mode: str) -> float:
            b = boards[mode]
            t0 = ns()
            for _ in range(calls):
                b.legal_moves()
            return (ns() - t0) / calls / 1000

        res = rounds_of(modes, rounds, sample, budget_s)
        rows.append((f"legal_moves() {name} ({n} moves)", "us per call", median(res["standard"]),
                     median(res["chess960"]), False))

        def perft_sample(mode: str) -> float:
            b = boards[mode]
            t0 = ns()
            nodes = b.perft(4)
            return nodes / (ns() - t0) * 1e3

        res = rounds_of(modes, rounds, perft_sample, budget_s)
        rows.append((f"perft(4) {name}", "M nodes/s", median(res["standard"]), median(res["chess960"]), True))
    starts = [B.from_chess960_pos(n) for n in (0, 100, 333, 700, 959)]
    standard = B()

    def starts_sample(mode: str) -> float:
        boards = [standard] if mode == "standard" else starts
        t0 = ns()
        nodes = sum(b.perft(5) for b in boards)
        return nodes / (ns() - t0) * 1e3

    res = rounds_of(modes, rounds, starts_sample, budget_s)
    rows.append(("perft(5): standard start vs five numbered starts", "M nodes/s", median(res["standard"]),
                 median(res["chess960"]), True))
    return rows


def make_book(path: str, positions: int = 300, entries: int = 100_000, seed: int = 7) -> list[str]:
    """A Polyglot book of `entries` entries: legal moves for `positions` positions of seeded random games,
    the rest random keys. Returns the positions' FENs."""
    import random
    import struct
    import chess.polyglot
    rng = random.Random(seed)
    fens: list[str] = []
    rows: list[tuple[int, int, int, int]] = []
    while len(fens) < positions:
        board = chess.Board()
        for _ in range(rng.randrange(0, 30)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        key = chess.polyglot.zobrist_hash(board)
        for move in rng.sample(list(board.legal_moves), min(6, board.legal_moves.count())):
            if board.is_castling(move):
                move = board._to_chess960(move)
            promo = {None: 0, chess.KNIGHT: 1, chess.BISHOP: 2, chess.ROOK: 3, chess.QUEEN: 4}[move.promotion]
            rows.append((key, move.to_square | move.from_square << 6 | promo << 12, rng.randrange(1, 100), 0))
        fens.append(board.fen())
    rows += [(rng.randrange(2**64), rng.randrange(2**12), 1, 0) for _ in range(entries - len(rows))]
    rows.sort(key=lambda r: r[0])
    with open(path, "wb") as out:
        out.write(b"".join(struct.pack(">QHHI", *r) for r in rows))
    return fens


def bench_book(rounds: int, target_ms: float, budget_s: float):
    """find_all over every position of a 100,000-entry book: us per position for each library."""
    import chess.polyglot
    libs = [TM, PC]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "book.bin")
        fens = make_book(path)
        ours, theirs = tavrinmoss.OpeningBook(path), chess.polyglot.MemoryMappedReader(path)
        try:
            boards = {TM: [tavrinmoss.Board(f) for f in fens], PC: [chess.Board(f) for f in fens]}
            readers = {TM: ours, PC: theirs}
            found = {lib: sum(1 for b in boards[lib] for _ in readers[lib].find_all(b)) for lib in libs}
            check("book entries found (python-chess)", found[PC], found[TM])

            def runner(lib: str) -> Callable[[int], None]:
                reader, bs = readers[lib], boards[lib]

                def run(n: int) -> None:
                    for _ in range(n):
                        for b in bs:
                            for _ in reader.find_all(b):
                                pass
                return run

            runs = {lib: runner(lib) for lib in libs}
            counts = {lib: calibrate(runs[lib], int(target_ms * 1e6)) for lib in libs}

            def sample(lib: str) -> float:
                t0 = ns()
                runs[lib](counts[lib])
                return (ns() - t0) / 1e3 / counts[lib] / len(fens)

            return rounds_of(libs, rounds, sample, budget_s), found[TM], len(fens)
        finally:
            ours.close()
            theirs.close()


SVG_ARROWS = [(12, 28), (6, 21, "red"), (51, 35, "blue"), (4, 4, "yellow")]


def bench_svg(rounds: int, target_ms: float, budget_s: float):
    """svg() with four arrows against chess.svg.board with the same arrows: us per call, per position."""
    import chess.svg
    libs = [TM, PC]
    arrows = {TM: SVG_ARROWS, PC: [chess.svg.Arrow(a[0], a[1], color=a[2] if len(a) > 2 else "green")
                                   for a in SVG_ARROWS]}
    rows = []
    for name, fen in POSITIONS:
        boards = {TM: tavrinmoss.Board(fen), PC: chess.Board(fen)}

        def runner(lib: str) -> Callable[[int], None]:
            b, a = boards[lib], arrows[lib]
            if lib == TM:
                def run(n: int) -> None:
                    for _ in range(n):
                        b.svg(arrows=a)
            else:
                def run(n: int) -> None:
                    for _ in range(n):
                        chess.svg.board(b, arrows=a, size=400)
            return run

        runs = {lib: runner(lib) for lib in libs}
        counts = {lib: calibrate(runs[lib], int(target_ms * 1e6)) for lib in libs}

        def sample(lib: str) -> float:
            t0 = ns()
            runs[lib](counts[lib])
            return (ns() - t0) / 1e3 / counts[lib]

        r = rounds_of(libs, rounds, sample, budget_s)
        rows.append((name, {lib: median(v) for lib, v in r.items()}))
    return rows


def fmt(value: float | None, form: str) -> str:
    return "n/a" if value is None else format(value, form)


def fx(value: float | None, form: str = ".2f") -> str:
    return "n/a" if value is None else format(value, form) + "x"


def ratio(num: float | None, den: float | None) -> float | None:
    return num / den if num and den else None


def geomean(values: list[float | None]) -> float | None:
    vals = [v for v in values if v]
    return math.exp(sum(map(math.log, vals)) / len(vals)) if vals and len(vals) == len(values) else None


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def print_notation_rows(title: str, rows) -> None:
    out = []
    for label, r, unit, higher in rows:
        speed = (lambda lib: r.get(lib)) if higher else (lambda lib: r.get(lib) and 1 / r[lib])
        form = ",.0f" if higher else ".3f"
        out.append([label, unit, fmt(r.get(TM), form), fmt(r.get(BC), form), fmt(r.get(PC), form),
                    fx(ratio(speed(TM), speed(BC)), ".2f"), fx(ratio(speed(TM), speed(PC)), ".1f")])
    print(title)
    print(table(["operation", "unit", TM, BC, PC, "vs bulletchess", "vs python-chess"], out))


# ---------------------------------------------------------------- engine client

def bench_engine(sf_path: str, rounds: int, calls: int, game_nodes: int):
    """analyse(depth=1) from the start: Engine against python-chess's SimpleEngine and a plain pipe loop,
    each with a stockfish of its own; then a 40-position game analysed by one engine and by two in threads."""
    import importlib
    import threading
    pc_engine = importlib.import_module("chess.engine") if chess else None

    engine = tavrinmoss.Engine(sf_path)
    oracle = pc_engine.SimpleEngine.popen_uci(sf_path) if pc_engine else None
    pipe = subprocess.Popen([sf_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    pipe.stdin.write("uci\nisready\n")
    pipe.stdin.flush()
    while pipe.stdout.readline().strip() != "readyok":
        pass
    start, pc_start = tavrinmoss.Board(), chess.Board() if chess else None

    def pipe_loop(n: int) -> None:
        write, flush, readline = pipe.stdin.write, pipe.stdin.flush, pipe.stdout.readline
        for _ in range(n):
            write("position startpos\ngo depth 1\n")
            flush()
            while not readline().startswith("bestmove"):
                pass

    def sample(lib: str) -> float:
        t0 = ns()
        if lib == TM:
            analyse = engine.analyse
            for _ in range(calls):
                analyse(start, depth=1)
        elif lib == PC:
            limit = pc_engine.Limit(depth=1)
            for _ in range(calls):
                oracle.analyse(pc_start, limit)
        else:
            pipe_loop(calls)
        return (ns() - t0) / calls / 1e3

    libs = [TM, "pipe"] + ([PC] if oracle else [])
    for lib in libs:  # warm-up: the network loads on the first search
        sample(lib)
    shallow = {lib: median(v) for lib, v in rounds_of(libs, rounds, sample, budget_s=60).items()}

    game = tavrinmoss.Board()
    positions = []
    for _ in range(40):
        positions.append(game.copy())
        game.apply_move(engine.play(game, depth=2).move)
    second = tavrinmoss.Engine(sf_path)

    def one() -> float:
        t0 = ns()
        for b in positions:
            engine.analyse(b, nodes=game_nodes)
        return (ns() - t0) / 1e6

    def two() -> float:
        def run(e, part):
            for b in part:
                e.analyse(b, nodes=game_nodes)
        threads = [threading.Thread(target=run, args=(e, positions[i::2])) for i, e in enumerate((engine, second))]
        t0 = ns()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return (ns() - t0) / 1e6

    # The machine's own ceiling: the same searches through plain pipes, one stockfish against two.
    pipe2 = subprocess.Popen([sf_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    fens = [b.fen() for b in positions]

    def pipe_search(proc, part):
        for fen in part:
            proc.stdin.write(f"position fen {fen}\ngo nodes {game_nodes}\n")
            proc.stdin.flush()
            while not proc.stdout.readline().startswith("bestmove"):
                pass

    def pipes(count: int) -> float:
        threads = [threading.Thread(target=pipe_search, args=(p, fens[i::count]))
                   for i, p in enumerate((pipe, pipe2)[:count])]
        t0 = ns()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return (ns() - t0) / 1e6

    cases = {"one": one, "two": two, "pipe one": lambda: pipes(1), "pipe two": lambda: pipes(2)}
    game_times = rounds_of(list(cases), rounds, lambda k: cases[k](), budget_s=60)
    pipe2.stdin.write("quit\n")
    pipe2.stdin.close()
    pipe2.wait()
    engine.quit()
    second.quit()
    if oracle:
        oracle.quit()
    pipe.stdin.write("quit\n")
    pipe.stdin.close()
    pipe.wait()
    return shallow, {k: median(v) for k, v in game_times.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shallower perft, fewer rounds, 200k memory calls")
    parser.add_argument("--rounds", type=int, help="rounds per case (default 7, quick 3)")
    parser.add_argument("--memory-calls", type=int, help="legal_moves/apply_move/pop calls (default 10M)")
    parser.add_argument("--budget", type=float, default=120.0,
                        help="seconds a library may spend on one case before its remaining rounds are skipped")
    parser.add_argument("--stockfish", help="path of the stockfish binary (default: PATH, then /usr/games)")
    parser.add_argument("--only", default="legal,ops,san,pgn,annotated,arrays,samples,loop,native,chess960,book,svg,engine,memory",
                        help="comma-separated sections: legal, ops, san, pgn, annotated, arrays, samples, loop, native, chess960, book, svg, engine, memory")
    parser.add_argument("--pgn-mb", type=int, help="size of the large PGN file read for memory (default 1024, "
                        "quick 64; 0 leaves it out)")
    args = parser.parse_args()

    rounds = args.rounds or (3 if args.quick else 7)
    memory_calls = args.memory_calls or (200_000 if args.quick else 10_000_000)
    sections = set(args.only.split(","))
    loop_depth = 3
    native_cases = ([("start", START, 5), ("kiwipete", KIWIPETE, 4)] if args.quick
                    else [("start", START, 6), ("kiwipete", KIWIPETE, 5)])

    libs = [TM] + ([BC] if bulletchess else []) + ([PC] if chess else [])
    sf_path = args.stockfish or shutil.which("stockfish") or (
        "/usr/games/stockfish" if os.access("/usr/games/stockfish", os.X_OK) else None)
    stockfish = Stockfish(sf_path) if sf_path and "native" in sections else None

    print("## Machine")
    print(f"- CPU: {cpu_model()} ({os.cpu_count()} logical cores), load average at start "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"- Python {platform.python_version()} ({platform.python_implementation()}, {platform.machine()})")
    print(f"- tavrinmoss {version('tavrinmoss')}, bulletchess {version('bulletchess')}, "
          f"python-chess {version('chess')}, {stockfish.name if stockfish else 'stockfish: not found'}")
    if "arrays" in sections:
        print(f"- numpy {version('numpy')}, fastchess {version('fastchess')}, tensor-chess {version('tensor-chess')}")
    print(f"- {rounds} alternating rounds per case, medians shown; ratios are speed ratios "
          f"(> 1 means tavrinmoss is faster){'; --quick' if args.quick else ''}")
    missing = [n for n, m in ((BC, bulletchess), (PC, chess), (FC, fastchess), (TC, tensor_chess)) if m is None]
    if missing:
        print(f"- not installed, left out: {', '.join(missing)}")
    print(flush=True)

    gc_was_enabled = gc.isenabled()
    gc.disable()  # as timeit does: a collection pass would land on whichever library happens to run
    try:
        if "legal" in sections:
            rows = bench_legal_moves(libs, rounds, target_ms=20.0, budget_s=args.budget)
            vs_bc = [ratio(r.get(BC), r[TM]) for _, r in rows]
            vs_pc = [ratio(r.get(PC), r[TM]) for _, r in rows]
            out = [[name, fmt(r[TM], ".3f"), fmt(r.get(BC), ".3f"), fmt(r.get(PC), ".2f"),
                    fx(b, ".2f"), fx(p, ".2f")] for (name, r), b, p in zip(rows, vs_bc, vs_pc)]
            out.append(["**geomean**", "", "", "", fx(geomean(vs_bc), ".2f"),
                        fx(geomean(vs_pc), ".2f")])
            print("## legal_moves() from Python, us per call")
            print(table(["position", TM, BC, PC, "vs bulletchess", "vs python-chess"], out))
            print(flush=True)

        if "ops" in sections:
            rows = bench_operations(libs, rounds, target_ms=10.0, budget_s=args.budget)
            out = [[label, fmt(r.get(TM), ".3f"), fmt(r.get(BC), ".3f"), fmt(r.get(PC), ".2f"),
                    fx(b, ".2f"), fx(p, ".2f")] for label, r, b, p in rows]
            print("## Operations from Python, us per call (geomean over the six positions)")
            print(table(["operation", TM, BC, PC, "vs bulletchess", "vs python-chess"], out))
            print(flush=True)

        if "san" in sections:
            rows = bench_notation(libs, rounds, target_ms=40.0, budget_s=args.budget,
                                  games=300 if args.quick else 1000)
            print_notation_rows("## Notation from Python", rows)
            print("\nGames are the corpus's first games without a variation (bulletchess's reader takes none); "
                  "tavrinmoss splits the text in Python and plays each movetext with `apply_movetext`.")
            print(flush=True)

        if "pgn" in sections:
            big_mb = args.pgn_mb if args.pgn_mb is not None else (64 if args.quick else 1024)
            rows, memory = bench_game_records(libs, rounds, args.budget, 300 if args.quick else 1000, big_mb)
            print_notation_rows("## Game records from Python", rows)
            print("\nread_pgn reads the file by path; python-chess reads it with `chess.pgn.read_game` and plays "
                  "the mainline; pgn() is timed against python-chess's `StringExporter` on the same games "
                  "(moves only).")
            if memory:
                print("\n### read_pgn over a large file")
                print(table(["measure", "value"], memory))
            print(flush=True)

        if "annotated" in sections:
            rows = bench_annotated(rounds, args.budget, 100 if args.quick else 300)
            print("## Annotated game records from Python, the whole corpus")
            print(table(["operation", "unit", TM, "peer", "peer's", "ratio"],
                        [[label, unit, fmt(v, ",.0f"), peer, fmt(p, ",.0f"), fx(ratio(v, p))]
                         for label, v, unit, peer, p in rows]))
            print(flush=True)

        if "chess960" in sections:
            rows = bench_chess960(rounds, target_ms=10.0, budget_s=args.budget)
            out = []
            for label, unit, std, fr, higher_better in rows:
                rel = ratio(fr, std) if higher_better else ratio(std, fr)
                out.append([label, unit, fmt(std, ".3f"), fmt(fr, ".3f"), fx(rel)])
            print("## Fischer random boards against standard ones, tavrinmoss alone")
            print(table(["case", "unit", "standard board", "Fischer random board", "Fischer random speed / standard"],
                        out))
            print("\nThe same FEN read as a standard board and with chess960=True: the same moves, castling "
                  "worked out from the position's rooks instead of fixed squares.")
            print(flush=True)

        if "arrays" in sections and numpy is None:
            print("## Arrays\n\nnumpy is not installed: left out.\n", flush=True)
        elif "arrays" in sections:
            rows = bench_arrays(rounds, target_ms=10.0, budget_s=args.budget)
            cases = ["planes()", FC, "planes(out=out)", "planes(False, out)", TC]
            out, vs_fc, vs_tc_kw, vs_tc_pos = [], [], [], []
            for name, r in rows:
                vs_fc.append(ratio(r.get(FC), r["planes()"]))
                vs_tc_kw.append(ratio(r.get(TC), r["planes(out=out)"]))
                vs_tc_pos.append(ratio(r.get(TC), r["planes(False, out)"]))
                out.append([name] + [fmt(r.get(c), ".0f") for c in cases]
                           + [fx(vs_fc[-1]), fx(vs_tc_kw[-1]), fx(vs_tc_pos[-1])])
            out.append(["**geomean**"] + [""] * len(cases) + [fx(geomean(v)) for v in (vs_fc, vs_tc_kw, vs_tc_pos)])
            print("## Arrays from Python, ns per call")
            print(table(["position", "planes()", "fastchess to_tensor()", "planes(out=out)", "planes(False, out)",
                         "tensor-chess to_tensor(buffer)", "planes() vs fastchess", "out= vs tensor-chess",
                         "positional out vs tensor-chess"], out))
            print("\nfastchess makes a new (18, 8, 8) float32 array, planes() a new (12, 8, 8) uint8 one; "
                  "tensor-chess fills a (15, 8, 8) uint8 buffer, planes() a (12, 8, 8) one, by keyword and by "
                  "position.")
            if chess:
                out = [[name, fmt(r["legal_move_mask()"], ".0f"), fmt(r.get(PC), ".0f"),
                        fx(ratio(r.get(PC), r["legal_move_mask()"]), ".1f")] for name, r in rows]
                out.append(["**geomean**", "", "", fx(geomean([ratio(r.get(PC), r["legal_move_mask()"])
                                                                for _, r in rows]), ".1f")])
                print("\n### legal_move_mask(), ns per call")
                print(table(["position", "legal_move_mask()", "python-chess legal moves, encoded into numpy",
                             "vs python-chess"], out))
                print("\nNo peer encodes moves for a policy head; the python-chess loop is what a program "
                      "writes without one.")
            print(flush=True)

        if "loop" in sections:
            pc_rounds = 1 if args.quick else 3
            rows = bench_python_perft(libs, loop_depth, rounds, pc_rounds, args.budget)
            out = []
            for case, nodes, r in rows:
                tm, bc, pc = (r.get(lib, (None, 0)) for lib in (TM, BC, PC))
                out.append([case, f"{nodes:,}", fmt(tm[0] and tm[0] / 1e6, ".3f"), fmt(bc[0] and bc[0] / 1e6, ".3f"),
                            fmt(pc[0] and pc[0] / 1e6, ".3f"), fx(ratio(tm[0], bc[0]), ".2f"),
                            fx(ratio(tm[0], pc[0]), ".1f")])
            print("## Python perft loop (legal moves, play, take back at every leaf), million leaves/s")
            print(table(["case", "leaves", TM, BC, PC, "vs bulletchess", "vs python-chess"], out))
            counts = {lib: {n for _, _, r in rows for n in [r.get(lib, (0, 0))[1]]} for lib in libs}
            print(f"\nRounds run: " + ", ".join(f"{lib} {'/'.join(map(str, sorted(c)))}" for lib, c in counts.items())
                  + f" (python-chess capped at {pc_rounds}, same depth).")
            print(flush=True)

        if "native" in sections:
            native_libs = [TM] + ([SF] if stockfish else []) + ([BC] if bulletchess else [])
            rows = bench_native_perft(native_libs, native_cases, rounds, args.budget, stockfish)
            out = []
            for case, nodes, r in rows:
                tm, sf, bc = (r.get(lib, (None, 0)) for lib in (TM, SF, BC))
                out.append([case, f"{nodes:,}", fmt(tm[0] and tm[0] / 1e6, ".1f"), fmt(sf[0] and sf[0] / 1e6, ".1f"),
                            fmt(bc[0] and bc[0] / 1e6, ".1f"), fx(ratio(tm[0], sf[0]), ".2f"),
                            fx(ratio(tm[0], bc[0]), ".2f")])
            print("## Native perft, million nodes/s")
            print(table(["case", "nodes", "Board.perft", "stockfish go perft", "bulletchess utils.perft",
                         "vs stockfish", "vs bulletchess"], out))
            print("\nStockfish is timed from sending `go perft` to reading `Nodes searched` through a pipe "
                  "(its per-move lines and pipe latency included, nothing subtracted).")
            print(flush=True)
        if "samples" in sections and numpy and os.path.exists(GAMES_PGN):
            med, cpu, positions = bench_samples(rounds, args.budget, subset=100)
            one, two = med["read_samples, threads=1"], med["read_samples, threads=2"]
            out = [[case, fmt(v, ",.0f"), fx(ratio(one, v), ".2f"), fmt(cpu[case], ",.0f")] for case, v in med.items()]
            print(f"## Training samples: read_samples over the corpus ({positions:,} positions), positions/s")
            print(table(["reader", "positions/s", "read_samples threads=1 vs this", "positions per CPU second"], out))
            print(f"\nthreads=2 vs threads=1: {fx(ratio(two, one), '.2f')} on {os.cpu_count()} logical cores "
                  f"(load average now {os.getloadavg()[0]:.2f}). "
                  "The Rust reader gets the text pre-split into one string per game, and its boards, evals and "
                  "clocks are read for every game; the python-chess + NumPy walk builds the same columns for the "
                  "first 100 games (its rate is per position, so it scales).")
            print(flush=True)

        if "book" in sections and chess:
            r, found, positions = bench_book(rounds, target_ms=40.0, budget_s=args.budget)
            tm, pc = median(r[TM]), median(r[PC])
            print("## Opening book: find_all over a 100,000-entry Polyglot book, us per position")
            print(table(["operation", TM, PC, "vs python-chess"],
                        [[f"find_all, {positions} positions ({found} entries found)", fmt(tm, ".2f"),
                          fmt(pc, ".1f"), fx(ratio(pc, tm), ".1f")]]))
            print("\nBoth read the same file in place: `OpeningBook` against `chess.polyglot.MemoryMappedReader`, "
                  "each given its own library's board (the key, castling and legality worked out per call).")
            print(flush=True)

        if "svg" in sections and chess:
            rows = bench_svg(rounds, target_ms=20.0, budget_s=args.budget)
            out = [[name, fmt(r[TM], ".2f"), fmt(r[PC], ".1f"), fx(ratio(r[PC], r[TM]), ".1f")] for name, r in rows]
            out.append(["**geomean**", "", "", fx(geomean([ratio(r[PC], r[TM]) for _, r in rows]), ".1f")])
            print("## Diagrams: svg() with four arrows against chess.svg.board, us per call")
            print(table(["position", TM, PC, "vs python-chess"], out))
            print(flush=True)

        if "engine" in sections and sf_path:
            shallow, game = bench_engine(sf_path, rounds, calls=100 if args.quick else 300,
                                         game_nodes=10_000 if args.quick else 30_000)
            tm, pipe, pc = shallow[TM], shallow["pipe"], shallow.get(PC)
            print("## Engine client: analyse(board, depth=1) from the start, us per call")
            print(table(["client", "us per call", "tavrinmoss speed ratio"], [
                ["tavrinmoss Engine.analyse", fmt(tm, ".1f"), "1.00"],
                ["plain pipe loop (subprocess, text lines)", fmt(pipe, ".1f"), fx(ratio(pipe, tm), ".2f")],
                ["python-chess SimpleEngine.analyse", fmt(pc, ".1f"), fx(ratio(pc, tm), ".2f")],
            ]))
            print(f"\nA 40-position game, nodes={10_000 if args.quick else 30_000} each: one engine "
                  f"{fmt(game['one'], '.0f')} ms, two engines in two threads {fmt(game['two'], '.0f')} ms "
                  f"(time ratio {fx(ratio(game['two'], game['one']), '.2f')}); the same searches through plain "
                  f"pipes, the machine's own ceiling: one stockfish {fmt(game['pipe one'], '.0f')} ms, two in two "
                  f"threads {fmt(game['pipe two'], '.0f')} ms (time ratio "
                  f"{fx(ratio(game['pipe two'], game['pipe one']), '.2f')}). Every client runs its own stockfish; "
                  "the machine's cores are shared.")
            print(flush=True)
    finally:
        if gc_was_enabled:
            gc.enable()
        if stockfish:
            stockfish.close()

    if "memory" in sections:
        sizes, before, warm, samples, secs = bench_memory(memory_calls)
        growth = samples[-1] - warm
        print("## Memory")
        print(table(["measure", "value"], [
            ["sys.getsizeof(Board()), empty history", f"{sizes['start']} B"],
            ["sys.getsizeof(Board(kiwipete)), empty history", f"{sizes['kiwipete']} B"],
            [f"RSS before / after warm-up ({memory_calls // 20:,}) / after {memory_calls:,} more calls",
             f"{before:,} / {warm:,} / {samples[-1]:,} KiB"],
            ["RSS growth after warm-up (min..max over 10 checkpoints)",
             f"{growth:+,} KiB ({min(samples) - warm:+,}..{max(samples) - warm:+,})"],
            ["churn rate (legal_moves + apply_move + pop)", f"{memory_calls / secs / 1e6:.3f} M/s"],
        ]))
        if growth > 1024:
            problems.append(f"RSS grew by {growth} KiB over {memory_calls} calls")
        print()

    if problems:
        print("## PROBLEMS")
        for p in problems:
            print(f"- {p}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
