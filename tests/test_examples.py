"""The example scripts run as a user would run them."""

import csv
import subprocess
import sys
from pathlib import Path

import chess
import pytest

from tavrinmoss import Board

REPO = Path(__file__).resolve().parents[1]
GAMES_PGN = REPO / ".." / "shared" / "data" / "games.pgn"


@pytest.mark.skipif(not GAMES_PGN.exists(), reason="the shared game corpus is not on this machine")
def test_pgn_to_samples_writes_a_row_per_position(tmp_path):
    out = tmp_path / "samples.csv"
    done = subprocess.run([sys.executable, str(REPO / "examples" / "pgn_to_samples.py"), str(GAMES_PGN),
                           "-o", str(out), "--limit-games", "25", "--workers", "2", "--batch", "4"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "25 games" in done.stderr

    rows = list(csv.reader(out.open()))
    assert rows[0] == ["fen", "move", "result"]
    games = [game for _, game in zip(range(25), Board.read_pgn(str(GAMES_PGN)))]
    assert len(rows) - 1 == sum(len(board.move_stack) for _, board in games)
    # Rows follow the games in file order; each replays on the reference library.
    expected = []
    for headers, board in games:
        ref = chess.Board()
        for move in board.move_stack:
            expected.append([ref.fen(en_passant="fen"), move.uci(), headers["Result"]])
            ref.push_uci(move.uci())
    assert rows[1:] == expected


def test_demo_tours_the_main_jobs_and_keeps_its_files(tmp_path):
    done = subprocess.run([sys.executable, str(REPO / "examples" / "demo.py"), str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "black attackers of d5: ['b6', 'e6', 'f6']" in out
    assert "1. e4 e5 2. Bc4 Nc6 3. Qh5 Nf6 4. Qxf7#" in out and "result: 1-0" in out
    assert "main line: e4" in out and "depth 4:    197281 nodes" in out
    assert (tmp_path / "ruy_lopez.svg").read_text().startswith("<svg ")


@pytest.mark.skipif(not GAMES_PGN.exists(), reason="the shared game corpus is not on this machine")
def test_dask_shards_equal_a_single_process_run(tmp_path):
    # The armhf test root installs pure-Python dependencies only, and Dask's are not.
    pytest.importorskip("dask.distributed")
    np = pytest.importorskip("numpy")
    games = GAMES_PGN.read_text().split("\n\n[")
    pieces = [games[:70], games[70:130], games[130:150]]
    paths = []
    for i, piece in enumerate(pieces):
        text = "\n\n[".join(piece) if i == 0 else "[" + "\n\n[".join(piece)
        paths.append(tmp_path / f"part{i}.pgn")
        paths[-1].write_text(text + "\n")
    out = tmp_path / "shards"
    done = subprocess.run([sys.executable, str(REPO / "examples" / "pgn_to_npz_dask.py"), *map(str, paths),
                           "-o", str(out), "--workers", "2", "--batch-positions", "1500"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "3 files" in done.stderr

    written = sorted(out.glob("*.npz"))
    expected = [(f"{i:04d}-part{i}-{k:05d}.npz", batch) for i, path in enumerate(paths)
                for k, batch in enumerate(Board.read_samples(path, batch_positions=1500))]
    assert [p.name for p in written] == [name for name, _ in expected]
    for path, (_, batch) in zip(written, expected):
        with np.load(path) as shard:
            assert sorted(shard.files) == sorted(batch)
            for name, column in batch.items():
                assert shard[name].dtype == column.dtype, name
                assert np.array_equal(shard[name], column, equal_nan=True), (path.name, name)
