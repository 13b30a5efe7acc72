"""A tour of tavrinmoss: positions from FEN, piece sets, moves in UCI."""

import tavrinmoss
from tavrinmoss import Board, Move


def squares(bitboard: int) -> list[str]:
    return [Move(s, s).uci()[:2] for s in range(64) if bitboard >> s & 1]


def main() -> None:
    tavrinmoss.hello_world()

    board = Board("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1")
    print(board)
    print("white knights:", squares(board.get_pieces("N") & board.get_pieces("W")))
    print("black queens: ", squares(board.get_pieces("q") & ~board.get_pieces("w")))

    for move in [Move(12, 28), Move(52, 60, "q"), Move.from_uci("e1g1")]:
        print("move", move.uci())


if __name__ == "__main__":
    main()
