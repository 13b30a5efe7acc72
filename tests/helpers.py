"""Shared test helpers."""

import pytest

from tavrinmoss import Board, Move

# The standard start, then the tricky positions every differential test plays from.
POSITIONS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
]


def panic_message(fn, *args):
    """Calls fn(*args), which must raise the panic exception; returns its message."""
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__module__ == "pyo3_runtime"
    return str(info.value)


def record(b):
    """Everything a board shows of its state, for before-and-after comparisons."""
    return (b.fen(), b.starting_fen, b.turn, b.half_move_clock, b.full_move_number, b.castling_rights,
            b.en_passant_square, b.zobrist_hash(), [m.uci() for m in b.move_stack])


def played(fen, *moves):
    """A board from `fen` with the moves applied unchecked (apply_move): each a
    Move, a (from, to[, promotion]) tuple or a UCI text."""
    b = Board(fen)
    for m in moves:
        b.apply_move(m if isinstance(m, Move) else Move.from_uci(m) if isinstance(m, str) else Move(*m))
    return b


def sampled(values, sample):
    """Parameters of a slow test: the first `sample` values are the fixed
    sample CI runs; the rest are marked `full`, for `make test-slow` only."""
    return [value if i < sample else pytest.param(value, marks=pytest.mark.full)
            for i, value in enumerate(values)]
