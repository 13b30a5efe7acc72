import pickle
import random

import pytest

from helpers import POSITIONS, played, sampled
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


# A board that was asked something before a write must answer afterwards as a
# board that took the same writes unasked: what a query learnt of a position
# may not outlive a change of it.
def answers(b):
    def run(f, *args):
        try:
            return f(*args)
        except BaseException as e:  # the panic exception is one
            return type(e).__name__

    legal = run(lambda: [m.uci() for m in b.legal_moves()])
    notation = [run(b.san, Move.from_uci(u)) for u in legal] if isinstance(legal, list) else None
    return (legal, notation, run(b.is_check), run(b.is_checkmate), run(lambda: [b._is_attacked(s) for s in range(64)]),
            run(b.perft, 2), run(b.zobrist_hash), run(lambda: b.fen(en_passant="legal")))


def no_king_kind(b):
    b.set_pieces_xor("k", 1 << 60)   # the colour set keeps e8: sets that disagree


def set_turn(turn):
    def write(b):
        b.turn = turn
    return write


WRITES = {
    # white to move with black's en passant square, then black in check with white to move
    "turn over a double step": ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", ["e2e4"], set_turn(True)),
    "turn onto a checked king": ("4k3/8/8/8/8/8/8/4R1K1 b - - 0 1", [], set_turn(True)),
    "a second white king": ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", [], lambda b: b.set_pieces_or("K", 1 << 40)),
    "a pawn on the last rank": ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", [], lambda b: b.set_pieces_or("P", 1 << 57)),
    "a rook checking the side not to move": ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", [],
                                             lambda b: b.set_pieces_or("R", 1 << 52)),
    "a king's kind taken away": ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", [], no_king_kind),
    "castling rights removed": ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", [], lambda b: b._remove_castling_rights("a")),
    "a pinned bishop moved": ("4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", [], lambda b: b.apply_move(Move.from_uci("e2d3"))),
    "a move taken back": ("4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", ["e2d3"], lambda b: b.pop()),
    "the text read again": ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", ["e2e4", "e7e5"],
                            lambda b: b.set_board()),
    "a game read on": ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", ["e2e4"],
                       lambda b: b.apply_movetext("1... e5 2. Nf3 Nc6 3. Bb5 a6 4. Bxc6 dxc6 5. O-O f6")),
    "a game read after the turn changed": ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", ["e2e4"],
                                           lambda b: (set_turn(True)(b), b.apply_movetext("Nf3 e5 Nc3 d5 Nxe5"))),
    # castling letters repeated: no legal move makes this board one the fast generator answers for
    "a game read under repeated castling letters": ("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KKkk - 0 1", [],
                                                    lambda b: b.apply_movetext("a3 a6 Ra2")),
}


@pytest.mark.parametrize("case", WRITES)
def test_writes_after_queries(case):
    fen, moves, write = WRITES[case]
    warm, cold = played(fen, *moves), played(fen, *moves)
    answers(warm)
    write(warm)
    write(cold)
    assert answers(warm) == answers(cold)
    # kept nowhere a board is written out: the two pickle alike
    assert pickle.dumps(warm) == pickle.dumps(cold)
    if case != "a king's kind taken away":   # the one write whose board its FEN does not describe
        assert answers(cold) == answers(Board(cold.fen())), cold.fen()
