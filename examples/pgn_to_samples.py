"""Training samples from PGN files: one CSV row per position of every game's mainline.

    python examples/pgn_to_samples.py games.pgn [more.pgn ...] -o samples.csv [--workers 4]

Each row is the position (FEN), the move played from it (UCI) and the game's result. The main process
reads the games (Board.read_pgn streams a file of any size in bounded memory); worker processes turn
batches of games into rows. A Board pickles with its whole history, so the same `samples_of` function
works unchanged with any map that ships Python objects to other machines.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import csv
import itertools
import os
import sys
import time
from collections.abc import Iterable, Iterator

from tavrinmoss import Board

Sample = tuple[str, str, str]


def samples_of(games: list[tuple[dict[str, str], Board]]) -> list[Sample]:
    """The (fen, uci, result) rows of a batch of games, in game order, oldest move first."""
    rows: list[Sample] = []
    for headers, board in games:
        result = headers.get("Result", "*")
        replay = Board(board.starting_fen)
        for move in board.move_stack:
            rows.append((replay.fen(), move.uci(), result))
            replay.apply_move(move)
    return rows


def games_in(paths: Iterable[str], limit: int | None) -> Iterator[tuple[dict[str, str], Board]]:
    # Only the pairs travel to the workers: a whole Game pickles its annotations too.
    games = ((g.headers, g.board) for path in paths for g in Board.read_pgn(path, errors="skip"))
    return itertools.islice(games, limit)


Game = tuple[dict[str, str], Board]


def batches(games: Iterator[Game], size: int) -> Iterator[list[Game]]:
    while batch := list(itertools.islice(games, size)):
        yield batch


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pgn", nargs="+", help="PGN files to read")
    parser.add_argument("-o", "--output", required=True, help="CSV file to write")
    parser.add_argument("--workers", type=int, default=None, help="worker processes (default: one per core)")
    parser.add_argument("--batch", type=int, default=64, help="games per task")
    parser.add_argument("--limit-games", type=int, default=None, help="stop after this many games")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    games = rows = 0
    with open(args.output, "w", newline="") as out, \
            concurrent.futures.ProcessPoolExecutor(max_workers=args.workers) as pool:
        writer = csv.writer(out)
        writer.writerow(["fen", "move", "result"])
        pending: list[tuple[int, concurrent.futures.Future[list[Sample]]]] = []
        # A bounded number of batches in flight keeps memory flat however
        # large the input; rows are written in the order the games came.
        in_flight = 4 * (args.workers or os.cpu_count() or 1)

        def drain(keep: int) -> None:
            nonlocal games, rows
            while len(pending) > keep:
                count, future = pending.pop(0)
                batch_rows = future.result()
                writer.writerows(batch_rows)
                games += count
                rows += len(batch_rows)
                rate = rows / max(time.perf_counter() - started, 1e-9)
                print(f"\r{games:,} games, {rows:,} positions, {rate:,.0f} positions/s", end="",
                      file=sys.stderr, flush=True)

        for batch in batches(games_in(args.pgn, args.limit_games), args.batch):
            pending.append((len(batch), pool.submit(samples_of, batch)))
            drain(in_flight)
        drain(0)
    print(file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
