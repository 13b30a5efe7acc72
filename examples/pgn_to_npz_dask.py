"""Training shards from PGN files on a Dask cluster: one .npz file per batch of positions.

    python examples/pgn_to_npz_dask.py games.pgn [more.pgn ...] -o shards/ [--workers 2]
    python examples/pgn_to_npz_dask.py /data/*.pgn.zst -o /data/shards --scheduler tcp://head:8786

Each PGN file is one task: a worker reads it with Board.read_samples (plain or compressed, in memory
bounded by the batch size) and writes every batch as `<file number>-<name>-<batch number>.npz`,
holding the batch's columns under their names. Without --scheduler the script starts a local cluster
of worker processes; with one, the files and the output folder must be reachable from every worker
(a shared file system), as each worker opens its files itself.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

from tavrinmoss import Board


def shard_file(number: int, path: str, out_dir: str, batch_positions: int, threads: int) -> dict[str, Any]:
    """Writes the sample batches of one PGN file as .npz shards; what was written, and what was skipped."""
    stem = Path(path).name.split(".")[0]
    shards, positions = [], 0
    reader = Board.read_samples(path, threads=threads, batch_positions=batch_positions)
    for index, batch in enumerate(reader):
        shard = Path(out_dir) / f"{number:04d}-{stem}-{index:05d}.npz"
        np.savez(shard, **batch)
        shards.append(str(shard))
        positions += len(batch["game"])
    return {"path": path, "shards": shards, "positions": positions, "skipped": list(reader.skipped)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pgn", nargs="+", help="PGN files to read (one task each)")
    parser.add_argument("-o", "--output", required=True, help="folder for the .npz shards (made if missing)")
    parser.add_argument("--scheduler", default=None, help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=None, help="worker processes of the local cluster")
    parser.add_argument("--threads", type=int, default=1, help="read_samples threads per task")
    parser.add_argument("--batch-positions", type=int, default=65536, help="positions per shard at most")
    args = parser.parse_args(argv)

    # Imported here so that the module's function can be used without Dask; its calls carry no type
    # hints, so the module is taken as Any.
    distributed: Any = importlib.import_module("dask.distributed")

    Path(args.output).mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    if args.scheduler:
        client = distributed.Client(args.scheduler)
        cluster = None
    else:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
    try:
        paths = [str(Path(p).resolve()) for p in args.pgn]
        out_dir = str(Path(args.output).resolve())
        futures = client.map(shard_file, range(len(paths)), paths, out_dir=out_dir,
                             batch_positions=args.batch_positions, threads=args.threads, pure=False)
        results = client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    elapsed = time.perf_counter() - started
    positions = sum(r["positions"] for r in results)
    shards = sum(len(r["shards"]) for r in results)
    for r in results:
        for number, reason in r["skipped"]:
            print(f"{r['path']}: game {number} skipped: {reason}", file=sys.stderr)
    print(f"{len(results)} files, {shards} shards, {positions:,} positions, {positions / elapsed:,.0f} positions/s",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
