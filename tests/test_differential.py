import random

import pytest

from helpers import POSITIONS, sampled
from tavrinmoss import Board, Move

chess = pytest.importorskip("chess")


def oracle_perft(board, depth):
    if depth == 0:
        return 1
    total = 0
    for move in board.legal_moves:
        board.push(move)
        total += oracle_perft(board, depth - 1)
        board.pop()
    return total


def play_random_game(fen, seed, max_plies, perft_every=0):
    rng = random.Random(seed)
    ours, oracle = Board(fen), chess.Board(fen)
    history = []
    for ply in range(max_plies):
        where = f"{fen} after {' '.join(history) or 'no moves'}"
        legal = sorted(m.uci() for m in ours.legal_moves())
        assert legal == sorted(m.uci() for m in oracle.legal_moves), where
        assert ours.is_check() == oracle.is_check(), where
        assert ours.is_checkmate() == oracle.is_checkmate(), where
        assert ours.is_stalemate() == oracle.is_stalemate(), where
        if perft_every and ply % perft_every == 0:
            assert ours.perft(2) == oracle_perft(oracle, 2), where
        if not legal:
            break
        uci = rng.choice(legal)
        history.append(uci)
        ours.apply_move(Move.from_uci(uci))
        oracle.push_uci(uci)
        assert ours.fen() == oracle.fen(en_passant="fen"), where
    # take the whole game back: undo must find every earlier position again
    while history:
        uci = history.pop()
        oracle.pop()
        assert ours.pop().uci() == uci
        assert ours.fen() == oracle.fen(en_passant="fen")
    return ours


@pytest.mark.parametrize("fen", POSITIONS, ids=range(1, len(POSITIONS) + 1))
@pytest.mark.parametrize("seed", range(4))
def test_random_games(fen, seed):
    assert play_random_game(fen, seed, 120).fen() == fen


@pytest.mark.slow
@pytest.mark.parametrize("fen", POSITIONS, ids=range(1, len(POSITIONS) + 1))
@pytest.mark.parametrize("seed", sampled(range(4, 44), 4))
def test_random_games_long(fen, seed):
    play_random_game(fen, seed, 300, perft_every=5)


# Perft beyond the published positions: two plies deep at points of random games.
@pytest.mark.parametrize("fen", POSITIONS, ids=range(1, len(POSITIONS) + 1))
def test_perft_along_games(fen):
    play_random_game(fen, 100, 80, perft_every=8)


# Hand-picked corners where a generator is most likely to go wrong.
@pytest.mark.parametrize("fen", [
    "4k3/8/8/2KPp2r/8/8/8/8 w - e6 0 1",          # en passant uncovering a rank
    "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1",
    "4k3/8/8/8/8/8/6p1/4K2R w K - 0 1",           # a pawn covering g1 by capture only
    "r3k2r/8/8/8/8/8/8/R3K2R w Kq - 0 1",
    "r3k2r/1P6/8/8/8/8/6p1/R3K2R b KQkq - 0 1",   # promotions capturing rooks
    "8/8/8/8/8/5k2/8/5K1q w - - 0 1",
    "7k/5Q2/8/8/8/8/8/K7 b - - 0 1",
])
def test_corners(fen):
    play_random_game(fen, 0, 20)
