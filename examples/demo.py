"""A tour of tavrinmoss: a position, a game in SAN, an opening book, a game record, a diagram, the speed.

    python examples/demo.py [directory for the files it writes; default: a temporary one]
"""

from __future__ import annotations

import gzip
import random
import struct
import sys
import tempfile
import time
from pathlib import Path

from tavrinmoss import Board, OpeningBook, parse_square, square_name


def squares(bitboard: int) -> list[str]:
    return [square_name(s) for s in range(64) if bitboard >> s & 1]


def section(title: str) -> None:
    print(f"\n== {title}")


def a_position() -> None:
    section("A position from FEN text")
    board = Board("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1")
    print(board.unicode(borders=True))
    print("white knights:", squares(board.pieces("N")), " black queen:", squares(board.pieces("q")))
    print("black attackers of d5:", squares(board.attackers(False, parse_square("d5"))))
    moves = board.legal_moves()
    print(f"{len(moves)} legal moves:", " ".join(board.san(m) for m in moves))


def a_game() -> None:
    section("A game played from SAN, and its outcome")
    board = Board()
    for san in "e4 e5 Bc4 Nc6 Qh5 Nf6 Qxf7#".split():
        board.apply_san(san)      # ValueError ("invalid", "illegal", "ambiguous") leaves the board as it was
    print(Board().variation_san(board.move_stack))
    print(board)
    print("outcome:", board.outcome(), " result:", board.result())
    last = board.pop()
    print(f"taken back: {last} ({board.san(last)}); game over now: {board.is_game_over()}")


def an_opening_book(directory: Path) -> None:
    section("An opening book")
    # A Polyglot book is a sorted file of 16-byte entries: key, move, weight, learn.
    board = Board()
    key = board.zobrist_hash()
    lines = [("e2e4", 60), ("d2d4", 35), ("g1f3", 5)]
    raw = [parse_square(u[2:]) | parse_square(u[:2]) << 6 for u, _ in lines]
    path = directory / "tiny.bin"
    path.write_bytes(b"".join(struct.pack(">QHHI", key, m, w, 0) for m, (_, w) in zip(raw, lines)))
    with OpeningBook(path) as book:
        for entry in book.find_all(board):
            print(f"  {board.san(entry.move):4} weight {entry.weight}")
        print("main line:", board.san(book.find(board).move),
              " weighted pick:", board.san(book.weighted_choice(board, random=random.Random(1)).move))


def a_game_record(directory: Path) -> None:
    section("A game record read with evaluations and clocks")
    path = directory / "annotated.pgn.gz"   # compressed files are told by their content
    with gzip.open(path, "wt") as f:
        f.write('[White "A"]\n[Black "B"]\n[WhiteElo "2210"]\n\n{ A short one. } '
                "1. e4 { [%eval 0.3] [%clk 0:03:00] } 1... e5 { [%eval 0.28] [%clk 0:02:58] } "
                "2. Bc4 { [%eval 0.2] [%clk 0:02:55] } 2... Nc6 { [%eval 0.25] [%clk 0:02:51] } "
                "3. Qh5 { [%eval -0.1] [%clk 0:02:50] } 3... Nf6?? { [%eval #1] [%clk 0:02:40] } "
                "( 3... g6 { [%eval 0.4] } ) 4. Qxf7# { [%eval #0] } 1-0\n\n"
                '[White "C"]\n[Black "D"]\n[WhiteElo "1500"]\n\n1. d4 d5 *\n')
    for game in Board.read_pgn(path, where=lambda h: int(h.get("WhiteElo", 0)) > 2000):
        headers, board = game                   # a Game is still the (headers, board) pair
        print(f"{headers['White']} - {headers['Black']}: {board.result()}, {game.comment!r}")
        replay = Board(board.starting_fen)
        for move, score, clock, nags in zip(board.move_stack, game.evals, game.clocks, game.nags):
            white = score.white() if score else None
            print(f"  {replay.san(move):6} eval {str(white):>5}  clock {clock}  {sorted(nags) or ''}")
            replay.apply_move(move)
        print("  alternatives (ply, moves):", [(ply, [m.uci() for m in v.moves])
                                               for ply, alts in enumerate(game.variations) for v in alts])
        print(game.pgn())


def a_diagram(directory: Path) -> None:
    section("A diagram written to a file")
    board = Board()
    for san in "e4 e5 Nf3 Nc6 Bb5".split():
        board.apply_san(san)
    path = directory / "ruy_lopez.svg"
    path.write_text(board.svg(size=360, arrows=[(parse_square("b5"), parse_square("c6"), "red")],
                              fill={parse_square("e5"): "#ffcc0080"}))
    print(f"  {path} ({path.stat().st_size:,} bytes, self-contained SVG)")


def the_speed() -> None:
    section("Perft from the start position")
    board = Board()
    for depth in range(1, 5):
        start = time.perf_counter()
        nodes = board.perft(depth)
        seconds = time.perf_counter() - start
        print(f"depth {depth}: {nodes:>9} nodes  {nodes / seconds / 1e6:8.1f} M nodes/s")


def main(argv: list[str]) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        directory = Path(argv[0]) if argv else Path(scratch)
        a_position()
        a_game()
        an_opening_book(directory)
        a_game_record(directory)
        a_diagram(directory)
        if not argv:
            print("  (pass a directory to keep it)")
        the_speed()


if __name__ == "__main__":
    main(sys.argv[1:])
