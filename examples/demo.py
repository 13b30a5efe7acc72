"""A tour of tavrinmoss: positions from FEN, piece sets, moves, games and perft."""

import time

import tavrinmoss
from tavrinmoss import Board, Move


def squares(bitboard: int) -> list[str]:
    return [Move(s, s).uci()[:2] for s in range(64) if bitboard >> s & 1]


def section(title: str) -> None:
    print(f"\n== {title}")


def main() -> None:
    tavrinmoss.hello_world()

    section("A position from FEN text")
    board = Board("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1")
    print(board)
    print("white knights:", squares(board.get_pieces("N") & board.get_pieces("W")))
    print("black queens: ", squares(board.get_pieces("q") & ~board.get_pieces("w")))
    print("castling moves:", board._castling_moves())
    print(len(board.legal_moves()), "legal moves:", " ".join(m.uci() for m in board.legal_moves()))

    section("Moves in UCI")
    for move in [Move(12, 28), Move(52, 60, "q"), Move.from_uci("e1g1")]:
        print(f"Move({move.from_square}, {move.to_square}, {move.promotion!r}) -> {move}")

    section("A short game, then taken back")
    board = Board()
    for uci in ["e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6", "e1g1"]:
        board.apply_move(Move.from_uci(uci))
        print(f"after {uci}: {board.fen()}")
        print(board)
    while board.move_stack:
        print("pop", board.pop(), "->", board.fen())

    section("Fool's mate")
    board = Board()
    for uci in ["f2f3", "e7e5", "g2g4", "d8h4"]:
        board.apply_move(Move.from_uci(uci))
    print(board)
    print("check:", board.is_check(), "checkmate:", board.is_checkmate(),
          "game over:", board.is_game_over())

    section("Stalemate")
    board = Board("k7/2K5/1Q6/8/8/8/8/8 b - - 0 1")
    print(board)
    print("legal moves:", board.legal_moves(), "stalemate:", board.is_stalemate())

    section("Perft from the start position")
    board = Board()
    for depth in range(1, 5):
        start = time.perf_counter()
        nodes = board.perft(depth)
        seconds = time.perf_counter() - start
        print(f"depth {depth}: {nodes:>9} nodes  {nodes / seconds / 1e6:8.1f} M nodes/s")


if __name__ == "__main__":
    main()
