"""The shipped stub against the installed module, by mypy's stubtest; the examples under mypy --strict."""
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
pytest.importorskip("mypy")


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubtest_finds_stub_and_module_agree(tmp_path):
    # Run outside the checkout, so that the installed module and its stub
    # package are what is compared.
    done = run("mypy.stubtest", "tavrinmoss", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_mypy_strict_and_the_stub_forbids_what_fails_at_run_time(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from tavrinmoss import Board, OpeningBook, square_name\n"
        "class MyBoard(Board): ...\n"
        "class MyBook(OpeningBook): ...\n"
        "square_name('e4')\n"
        "Board().fen(en_passant='always')\n")
    done = run("mypy", "--strict", "--no-incremental", str(REPO / "examples"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    done = run("mypy", "--strict", "--no-incremental", str(misuse), cwd=tmp_path)
    errors = sorted(int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line)
    assert errors == [2, 3, 4, 5], done.stdout
    assert done.stdout.count("Cannot inherit from final class") == 2
