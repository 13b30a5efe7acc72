"""Squares by name and fen(en_passant=...), against python-chess."""
import random

import pytest

import tavrinmoss
from tavrinmoss import Board

chess = pytest.importorskip("chess")


def test_square_names_and_functions_match_python_chess():
    assert tavrinmoss.SQUARE_NAMES == tuple(chess.SQUARE_NAMES)
    for s in range(64):
        assert tavrinmoss.square_file(s) == chess.square_file(s)
        assert tavrinmoss.square_rank(s) == chess.square_rank(s)
        assert tavrinmoss.square_name(s) == chess.square_name(s)
        assert tavrinmoss.parse_square(chess.square_name(s)) == s
        assert tavrinmoss.square(chess.square_file(s), chess.square_rank(s)) == s
    assert tavrinmoss.square(rank_index=3, file_index=4) == chess.E4
    assert "square" not in tavrinmoss.__all__ and tavrinmoss.__all__ == ["Board", "Move", "hello_world"]


@pytest.mark.parametrize("call, message", [
    (lambda: tavrinmoss.square_name(64), "square 64 is out of range"),
    (lambda: tavrinmoss.square_file(-1), "square -1 is out of range"),
    (lambda: tavrinmoss.square_rank(2**70), "out of range"),
    (lambda: tavrinmoss.square(8, 0), "file_index 8 is out of range"),
    (lambda: tavrinmoss.square(0, -1), "rank_index -1 is out of range"),
    (lambda: tavrinmoss.parse_square("i1"), "invalid square name: 'i1'"),
    (lambda: tavrinmoss.parse_square("E4"), "invalid square name"),
    (lambda: tavrinmoss.parse_square("e44"), "invalid square name"),
    (lambda: tavrinmoss.parse_square(""), "invalid square name"),
])
def test_bad_squares_are_value_errors(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("call", [
    lambda: tavrinmoss.parse_square(28),
    lambda: tavrinmoss.square_name("e4"),
    lambda: tavrinmoss.square(1.0, 2),
    lambda: tavrinmoss.square(1),
    lambda: tavrinmoss.square_file(),
])
def test_wrong_types_and_counts_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def en_passant_positions(count=300, seed=5):
    """Positions right after a double step, met in seeded random games, plus hand-made edge cases."""
    rng, fens = random.Random(seed), []
    while len(fens) < count:
        board = chess.Board()
        for _ in range(rng.randrange(4, 80)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
            if board.ep_square is not None:
                fens.append(board.fen(en_passant="fen"))
    return fens + [
        "4k3/8/8/8/1q1pP1K1/8/8/8 b - e3 0 1",      # the capture would expose the king: pinned along the rank
        "4k3/8/8/2Pp4/8/8/8/4K3 w - d6 0 1",        # a legal capture
        "4k3/8/8/3p4/8/8/8/4K3 w - d6 0 1",         # nobody beside
        "4k3/8/8/8/8/3p4/2P5/4K3 w - d3 0 1",       # a square on the wrong rank
    ]


@pytest.mark.parametrize("mode", ["legal", "fen", "xfen"])
def test_fen_en_passant_matches_python_chess(mode):
    for fen in en_passant_positions():
        ours, oracle = Board(fen), chess.Board(fen)
        assert ours.fen(en_passant=mode) == oracle.fen(en_passant=mode), (fen, mode)
        assert ours.fen(mode) == ours.fen(en_passant=mode)
        assert ours.fen() == ours.fen(en_passant="fen") == ours.fen(None)
        assert ours.fen() == fen   # the board is unchanged


def test_fen_en_passant_refuses_other_words():
    board = Board()
    with pytest.raises(ValueError, match="en_passant must be"):
        board.fen(en_passant="LEGAL")
    with pytest.raises(TypeError):
        board.fen(en_passant=True)
    assert board.fen() == chess.STARTING_FEN
