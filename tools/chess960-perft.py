"""Writes the Chess960 perft reference files from python-chess, the oracle.

    python tools/chess960-perft.py starts     # tests/chess960_starts.txt, all 960 start positions
    python tools/chess960-perft.py positions  # tests/chess960_perft.txt, the hand-picked positions

The start file takes minutes (run it once, under nice); the counts never change.
"""

import multiprocessing
import sys
from pathlib import Path

import chess

TESTS = Path(__file__).resolve().parent.parent / "tests"
START_DEPTH = 4

# Chess960 middlegame positions, each chosen for one castling edge; the
# comment names it. Depth 3 where the tree at depth 4 is large.
POSITIONS = [
    # King on b1 with both rooks in the corners: O-O-O moves the king one
    # step right to c1 and the rook from a1 past it to d1.
    ("1r2k2r/pppbqppp/2n2n2/8/8/2N2N2/PPPBQPPP/RK5R w KQkq - 4 8", 3),
    # King on g1, both sides open: O-O leaves the king where it is and
    # moves only the rook; O-O-O carries the king across five files.
    ("r5kr/pppppppp/8/8/8/8/PPPPPPPP/R5KR w KQkq - 0 1", 4),
    # King already on g1 with pieces about.
    ("rb4kr/ppp2ppp/2nqbn2/3pp3/3PP3/2NQBN2/PPP2PPP/RB4KR w KQkq - 2 7", 3),
    # Rook already on its destination f1: O-O moves the king alone.
    ("r3kr2/ppp2ppp/2nqb1n1/3pp3/3PP3/2NQB1N1/PPP2PPP/R3KR2 w KQkq - 2 7", 4),
    # King already on c1: O-O-O moves the rook alone, from a1 to d1.
    ("r1k4r/pppq1ppp/2n1bn2/4p3/4P3/2N1BN2/PPPQ1PPP/R1K4R w KQkq - 4 7", 3),
    # Rook on c1 between the king on b1 and its destination g1: O-O moves
    # both through each other; O-O-O is blocked by that rook on c1.
    ("rkr5/ppp2ppp/8/3pp3/8/8/PPPPPPPP/RKR5 w KQkq - 0 6", 4),
    # The mirror: rook on f1 between the king on g1 and c1; O-O is blocked
    # by that rook standing on f1.
    ("5rkr/ppp2ppp/8/3pp3/8/8/PPPPPPPP/5RKR w KQkq - 0 6", 4),
    # King on f1 and rook on g1 adjacent: O-O swaps them.
    ("r4kr1/pppppppp/8/8/8/8/PPPPPPPP/R4KR1 w KQkq - 0 1", 4),
    # King on d1: O-O-O puts the rook on the king's start square; O-O is
    # blocked by the knight on the king's destination g1.
    ("r2k3r/pppppppp/8/8/8/8/PPPPPPPP/R2K2NR w KQkq - 0 1", 4),
    # Rook f1 and king e1 adjacent, bishop on the king's destination c1:
    # O-O-O blocked, O-O moves the king one step.
    ("1nb1rk1r/ppppqppp/8/4p3/4P3/8/PPPPQPPP/1NB1RK1R w KQkq - 0 5", 4),
    # King on c1, bishop on the rook destination d1: neither side castles.
    ("nrk1rnbb/pppppppp/8/8/8/8/PPPPPPPP/NRKBRNQB w KQkq - 0 1", 4),
    # The rook on e5 hits e1, a square the king crosses from b1 to g1:
    # O-O illegal, O-O-O legal.
    ("1k5r/ppp2ppp/8/4r3/8/8/PPP2PPP/RK5R w KQk - 0 6", 4),
    # The knight on h3 hits g1, where the king would land.
    ("rk5r/ppp2ppp/8/3pp3/8/7n/PPPPPPPP/RK5R w KQkq - 0 6", 4),
    # The knight on a3 hits b1, crossed only by the rook: O-O-O legal.
    ("r3k2r/pppppppp/8/8/8/n7/PPPPPPPP/R3K2R w KQkq - 0 1", 4),
    # The rook on h1 attacked down the open h-file: O-O stays legal.
    ("r3k2r/ppppppp1/8/8/8/8/PPPPPPP1/R3K2R w KQkq - 0 1", 4),
    # The castling rook shields its king: after O-O-O the rook on a1 would
    # see c1 once the b1 rook has gone to d1.
    ("2k5/8/8/8/8/8/8/rRK4R w KQ - 0 1", 4),
    # The same through the king's path: e1 to c1 with b1 rook leaving.
    ("4k3/8/8/8/8/8/8/rR2K2R w KQ - 0 1", 4),
    # In check from the queen on b3: no castling.
    ("rk4r1/ppp2ppp/8/3p4/8/1q6/P1PPPPPP/RK4R1 w KQkq - 0 8", 4),
    # Inner rook: the right belongs to e1 (X-FEN "E"), not the h1 rook.
    ("rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w Ee - 0 1", 4),
    # An inner and an outer right on one board, Shredder letters in the input.
    ("r1k1r2r/pppppppp/8/8/8/8/PPPPPPPP/R1K1R2R w EAea - 0 1", 4),
    # The queen on h3 can take the h1 rook, which must remove the right.
    ("1rk4r/ppp2ppp/8/3pp3/8/7q/PPPPPPP1/1RK4R w KQkq - 0 9", 4),
    # En passant beside castling rights, Shredder letters in the input.
    ("1r2kbr1/pp1p1ppp/8/2pPp3/8/8/PPP1PPPP/1R2KBR1 w GBgb e6 0 5", 4),
    # Black to move: O-O-O crosses d8, hit by the rook on the open d-file.
    ("r3k1r1/ppp1pppp/8/8/8/8/PPP1PPPP/3RK1R1 b kq - 0 1", 4),
]


def perft(board, depth):
    # Bulk counting: the last ply is a move count, not a tree.
    if depth == 1:
        return board.legal_moves.count()
    total = 0
    for move in board.legal_moves:
        board.push(move)
        total += perft(board, depth - 1)
        board.pop()
    return total


def start_line(n):
    board = chess.Board.from_chess960_pos(n)
    counts = [perft(board, d) for d in range(1, START_DEPTH + 1)]
    return f"{n}; {board.fen()}; {board.fen(shredder=True)}; " + "; ".join(map(str, counts))


def write_starts():
    with multiprocessing.Pool(2) as pool:
        lines = pool.map(start_line, range(960), chunksize=8)
    header = ["# n; X-FEN; Shredder-FEN; perft at depths 1 to 4",
              "# Every Chess960 start position, numbered as python-chess numbers them; written by",
              "# tools/chess960-perft.py from python-chess 1.11.2."]
    (TESTS / "chess960_starts.txt").write_text("\n".join(header + lines) + "\n")


def write_positions():
    lines = ["# fen; depth; leaf nodes",
             "# Chess960 middlegame positions for the castling edges; written by",
             "# tools/chess960-perft.py from python-chess 1.11.2."]
    for fen, depth in POSITIONS:
        board = chess.Board(fen, chess960=True)
        assert board.is_valid(), (fen, board.status())
        assert board.fen() == fen or board.fen(shredder=True) == fen, (fen, board.fen())
        lines += [f"{fen}; {d}; {perft(board, d)}" for d in range(1, depth + 1)]
    (TESTS / "chess960_perft.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    {"starts": write_starts, "positions": write_positions}[sys.argv[1]]()
