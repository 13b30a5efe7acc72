"""PGN files in and out, side by side with python-chess's reader and exporter."""

import io
import pickle
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tavrinmoss import Board, Move

chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402

GAMES_PGN = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "games.pgn"
ROSTER = ["Event", "Site", "Date", "Round", "White", "Black", "Result"]


def corpus_text(games=None):
    if not GAMES_PGN.exists():
        pytest.skip(f"{GAMES_PGN} is absent")
    text = GAMES_PGN.read_text()
    if games is None:
        return text
    return "\n\n".join(re.split(r"\n\n(?=\[)", text)[:games]) + "\n"


def oracle_games(text):
    handle = io.StringIO(text)
    while (game := chess.pgn.read_game(handle)) is not None:
        yield game


def check_same_games(ours, oracle):
    """Our (headers, board) pairs against python-chess's games, one for one."""
    ours, oracle = list(ours), list(oracle)
    assert len(ours) == len(oracle)
    for number, ((headers, board), game) in enumerate(zip(ours, oracle), 1):
        expected = dict(game.headers)
        # python-chess fills in the roster tags a file leaves out.
        assert headers == {k: v for k, v in expected.items() if k in headers}, number
        assert set(expected) - set(headers) <= set(ROSTER), number
        assert [m.uci() for m in board.move_stack] == [m.uci() for m in game.mainline_moves()], number
        assert board.fen() == fen_of(game.end().board()), number
        assert board.starting_fen == game.headers.get("FEN", chess.STARTING_FEN), number


def fen_of(oracle):
    # Our FEN names the en passant square after every double step.
    return oracle.fen(en_passant="fen")


def test_corpus_slice_reads_as_python_chess_reads_it():
    text = corpus_text(150)
    check_same_games(Board.read_pgn(io.StringIO(text)), oracle_games(text))


@pytest.mark.slow
def test_corpus_reads_as_python_chess_reads_it():
    expected = oracle_games(corpus_text())  # skips first where the corpus is absent
    check_same_games(Board.read_pgn(GAMES_PGN), expected)


def exporter_text(headers, board):
    """python-chess's export of the same game, 80 columns."""
    game = chess.pgn.Game()
    for name, value in headers.items():
        game.headers[name] = value
    node = game
    for move in board.move_stack:
        node = node.add_variation(chess.Move.from_uci(move.uci()))
    return game.accept(chess.pgn.StringExporter(columns=80))


def check_round_trip(text):
    games = list(Board.read_pgn(io.StringIO(text)))
    written = [board.pgn(headers) for headers, board in games]
    for (headers, board), pgn in zip(games, written):
        assert pgn == exporter_text(headers, board)
        assert all(len(line) <= 80 for line in pgn.splitlines())
    again = list(Board.read_pgn(io.StringIO("\n\n".join(written))))
    assert [(h, [m.uci() for m in b.move_stack]) for h, b in again] == \
        [(h, [m.uci() for m in b.move_stack]) for h, b in games]


def test_corpus_slice_round_trips():
    check_round_trip(corpus_text(100))


@pytest.mark.slow
def test_corpus_round_trips():
    check_round_trip(corpus_text())


# Every corner of the syntax in one file: escaped quotes in a tag, a comment
# over several lines (one of them blank), nested variations, escape lines,
# a game without tags, one from a FEN tag, a missing result token, Windows
# line ends, and the illegal move of game 6.
TRICKY = r"""% a file-level escape line
; and a comment line

[Event "The \"quoted\" event"]
[Site "?"]
[Date "2026.01.01"]
[Round "1"]
[White "A"]
[Black "B"]
[Result "1-0"]

1. e4 { a comment

that runs over a blank line } e5 2. Nf3 (2. Nc3 Nf6 (2... Nc6 3. f4) 3. f4) 2... Nc6
% an escape line inside the movetext
3. Bb5 $1 a6 4. Ba4 ; a rest-of-line comment { not opened
Nf6 1-0

1. d4 d5 2. c4 *

[Event "From a position"]
[FEN "4k3/8/8/8/8/8/4P3/4K3 b - - 0 1"]
[SetUp "1"]

1... Kd7 2. e4 Ke6 3. Ke2

[Event "Windows"]
[Result "0-1"]

1. f3 e5 2. g4 Qh4# 0-1

[Event "Illegal"]

1. e4 e5 2. Ke3 Nc6 *

[Event "After the illegal one"]

1. c4 *
""".replace("[Event \"Windows\"]\n[Result \"0-1\"]\n\n1. f3 e5 2. g4 Qh4# 0-1",
            "[Event \"Windows\"]\r\n[Result \"0-1\"]\r\n\r\n1. f3 e5 2. g4 Qh4# 0-1")


def test_tricky_file_reads_as_python_chess_reads_it():
    ours = list(Board.read_pgn(io.StringIO(TRICKY), errors="skip"))
    oracle = [g for g in oracle_games(TRICKY) if not g.errors]
    assert len(ours) == 5
    check_same_games(ours, oracle)
    assert ours[0][0]["Event"] == r"The \"quoted\" event"
    assert ours[2][1].starting_fen == "4k3/8/8/8/8/8/4P3/4K3 b - - 0 1"


def test_illegal_game_raises_then_reading_goes_on():
    games = Board.read_pgn(io.StringIO(TRICKY))
    for _ in range(4):
        next(games)
    with pytest.raises(ValueError) as info:
        next(games)
    assert str(info.value) == ("game 5 ([Event \"Illegal\"]): illegal san: 'Ke3' in "
                               "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2, "
                               "at ply 3 of the movetext")
    headers, board = next(games)
    assert headers == {"Event": "After the illegal one"} and board.move_stack[0].uci() == "c2c4"
    assert list(games) == []


@pytest.mark.parametrize("opener", ["path", "pathlib", "text", "binary", "text-bom", "binary-bom"])
def test_sources(tmp_path, opener):
    text = "[Event \"x\"]\n\n1. e4 e5 *\n\n1. d4 *\n"
    path = tmp_path / "g.pgn"
    path.write_bytes((b"\xef\xbb\xbf" if opener.endswith("bom") else b"") + text.encode())
    source = {"path": str(path), "pathlib": path}.get(opener)
    if source is None:
        source = open(path, encoding="utf-8") if opener.startswith("text") else open(path, "rb")
    games = [(h, len(b.move_stack)) for h, b in Board.read_pgn(source)]
    assert games == [({"Event": "x"}, 2), ({}, 1)]


def test_empty_and_bad_sources(tmp_path):
    (tmp_path / "empty.pgn").write_text("")
    assert list(Board.read_pgn(tmp_path / "empty.pgn")) == []
    assert list(Board.read_pgn(io.StringIO("\n\n% nothing\n"))) == []
    with pytest.raises(FileNotFoundError):
        Board.read_pgn(tmp_path / "missing.pgn")
    with pytest.raises(TypeError):
        Board.read_pgn(42)
    with pytest.raises(ValueError, match="errors must be"):
        Board.read_pgn(io.StringIO(""), errors="ignore")


class CountingReader(io.RawIOBase):
    """A file of `copies` copies of a text, made on demand; counts the reads."""

    def __init__(self, text, copies):
        self.data, self.copies, self.offset, self.sizes = text.encode(), copies, 0, []

    def readable(self):
        return True

    def read(self, n=-1):
        self.sizes.append(n)
        total = len(self.data) * self.copies
        n = min(n, total - self.offset)
        out = bytearray()
        while len(out) < n:
            i = (self.offset + len(out)) % len(self.data)
            out += self.data[i:i + n - len(out)]
        self.offset += n
        return bytes(out)


def test_streaming_reads_large_blocks_and_yields_before_the_end():
    source = CountingReader(corpus_text(20) + "\n", copies=400)  # about 20 MB
    games = Board.read_pgn(source)
    next(games)
    assert source.sizes == [1 << 20]  # the first game came from the first block
    assert sum(1 for _ in games) == 20 * 400 - 1
    assert all(n == 1 << 20 for n in source.sizes)


def test_pgn_export():
    board = Board("4k3/8/8/8/8/8/4P3/4K3 b - - 0 7")
    for san in ["Kd7", "e4", "Ke6", "Ke2"]:
        board.apply_san(san)
    assert board.pgn() == "\n".join([
        '[Event "?"]', '[Site "?"]', '[Date "????.??.??"]', '[Round "?"]', '[White "?"]', '[Black "?"]',
        '[Result "*"]', '[FEN "4k3/8/8/8/8/8/4P3/4K3 b - - 0 7"]', '[SetUp "1"]', "",
        "7... Kd7 8. e4 Ke6 9. Ke2 *"])
    mate = Board()
    mate.apply_movetext("1. f3 e5 2. g4 Qh4#")
    text = mate.pgn({"White": "W", "Annotator": "me", "FEN": "ignored"})
    assert text.splitlines()[4:8] == ['[White "W"]', '[Black "?"]', '[Result "0-1"]', '[Annotator "me"]']
    assert text.endswith("\n\n1. f3 e5 2. g4 Qh4# 0-1")
    assert mate.pgn({"Result": "*"}).endswith("Qh4# *")
    with pytest.raises(TypeError):
        mate.pgn({"White": 1})
    with pytest.raises(TypeError):
        mate.pgn([("White", "W")])


def test_pgn_refuses_an_illegal_history():
    board = Board()
    board.apply_san("e4")
    board.apply_move(Move.from_uci("e4e6"))  # played unchecked
    with pytest.raises(ValueError, match="illegal move, e4e6 at ply 2"):
        board.pgn()


class Trickle(io.RawIOBase):
    """Hands out a few bytes per read, as a pipe may: games straddle every block boundary."""

    def __init__(self, data, sizes):
        self.data, self.sizes, self.offset, self.calls = data, sizes, 0, 0

    def readable(self):
        return True

    def read(self, n=-1):
        size = self.sizes[self.calls % len(self.sizes)]
        self.calls += 1
        out = self.data[self.offset:self.offset + min(n, size)]
        self.offset += len(out)
        return out


@pytest.mark.parametrize("sizes", [[1], [2, 3, 5], [7, 64, 1]])
def test_games_straddling_blocks(sizes):
    # Two files joined, each with its byte-order mark.
    text = ("\ufeff" + TRICKY + "\n\ufeff" + corpus_text(3)).encode()
    def summary(source):
        return [(h, [m.uci() for m in b.move_stack], b.fen()) for h, b in Board.read_pgn(source, errors="skip")]
    whole = summary(io.BytesIO(text))
    assert len(whole) == 5 + 3
    assert summary(Trickle(text, sizes)) == whole


def test_messages_quote_undecodable_bytes():
    source = io.BytesIO(b'[Event "M\xfcller"]\n\n1. e4 e5 2. Ke3 *\n')
    with pytest.raises(ValueError, match='game 1 \\(\\[Event "M\ufffdller"\\]\\): illegal san: \'Ke3\''):
        next(Board.read_pgn(source))



# Bytes that are not UTF-8 in a FEN tag: a code point past U+10FFFF, a
# surrogate, overlong forms (one of "/", which would split a rank), a
# sequence cut short, and bytes that cannot start one.
@pytest.mark.parametrize("odd", [b"\xf6\xaf\xb8\xab", b"\xf4\x90\x80\x80", b"\xed\xa0\x80", b"\xc0\xaf",
                                 b"\xe0\x80\xaf", b"\xe2\x82x", b"\xf0\x9f\x98", b"\x80\xbf\xff"])
def test_a_fen_tags_undecodable_bytes_read_as_its_header_shows_them(odd):
    fen = b"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 " + odd
    (game,) = Board.read_pgn(io.BytesIO(b'[FEN "' + fen + b'"]\n\n1. e4 *\n'))
    shown = fen.decode("utf-8", "replace")
    assert game.headers["FEN"] == game.board.starting_fen == shown
    assert pickle.loads(pickle.dumps(game)).board.starting_fen == shown
    placement = b"rnbqkbnr" + odd + b"pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
    with pytest.raises(ValueError, match="game 1 .*invalid FEN tag"):
        next(Board.read_pgn(io.BytesIO(b'[FEN "' + placement + b'"]\n\n1. e4 *\n')))

def test_a_source_that_refers_back_is_collected():
    import gc
    import weakref

    source = io.StringIO("1. e4 *\n")
    source.games = Board.read_pgn(source)  # a cycle through the iterator
    alive = weakref.ref(source)
    del source
    gc.collect()
    assert alive() is None


# ---------------------------------------------------------------- header dicts

from hypothesis import given, settings, strategies as st  # noqa: E402

TAG_NAMES = st.sampled_from(["Event", "Site", "Result", "A"])
# Values recur, differ in length about the point where recent ones stop
# being kept, and some are not ASCII.
TAG_VALUES = st.sampled_from(["", "x", "1-0", "0-1", "Rated Blitz game", "é", "a" * 32, "a" * 33, "ü" * 20])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.tuples(TAG_NAMES, TAG_VALUES), min_size=1, max_size=4), min_size=1, max_size=8))
def test_header_dicts_read_as_python_chess_reads_them(games):
    # Games with the same tags in the same order have their dicts built from
    # one another's: each still holds its own values, a tag given twice its
    # last one, in file order, and a change to one dict reaches no other.
    text = "".join("".join(f'[{n} "{v}"]\n' for n, v in tags) + "\n*\n\n" for tags in games)
    handle = io.StringIO(text)
    expected = []
    for tags in games:
        headers = chess.pgn.read_headers(handle)
        names = list(dict.fromkeys(n for n, _ in tags))
        expected.append({n: headers[n] for n in names})
    got = []
    for headers in Board.read_headers(io.StringIO(text)):
        got.append(list(headers.items()))
        headers["Event"] = "changed"
    assert got == [list(e.items()) for e in expected]


@pytest.mark.parametrize("at", [None, 0, 7, 8, 15, 16])
@pytest.mark.parametrize("odd", [b"\xc3\xa9", b"\x80", b"\xff"])
def test_header_values_of_any_bytes_read_as_utf8_with_replacement(at, odd):
    value = b"abcdefghijklmnopq"
    if at is not None:
        value = value[:at] + odd + value[at + 1:]
    source = io.BytesIO(b'[Event "' + value + b'"]\n\n*\n')
    assert next(Board.read_headers(source)) == {"Event": value.decode("utf-8", "replace")}


def test_header_dicts_hold_their_own_values_while_filters_keep_change_and_nest():
    # Values recur from a table of recent ones, one per tag, whose slots many
    # values share (several hundred distinct names, of every length about
    # the longest kept); a filter that keeps dicts, changes them and reads
    # another file meanwhile (whose games have other tags) sees each game's
    # own values all the same.
    names = [f"player-{i % 300}" + "x" * (i % 40) for i in range(900)]
    # Black's values are prefixes of one another: one must never stand for another.
    text = "".join(f'[Event "e{i % 3}"]\n[White "{n}"]\n[Black "{"y" * (1 + i * 13 % 32)}"]\n'
                   f'[Result "{"1-0" if i % 2 else "0-1"}"]\n\n*\n\n' for i, n in enumerate(names))
    other = '[Site "s"]\n[Date "d"]\n\n*\n\n'
    seen = []

    def where(headers):
        seen.append(headers)
        expected = names[len(seen) - 1]
        assert headers["White"] == expected
        if len(seen) % 7 == 0:
            assert list(Board.read_headers(io.StringIO(other * 2))) == [{"Site": "s", "Date": "d"}] * 2
        if len(seen) % 5 == 0:
            headers["White"] = "changed"
            del headers["Event"]
        return len(seen) % 4 == 0

    kept = [g.headers["White"] for g in Board.read_pgn(io.StringIO(text), where=where)]
    # A kept game holds the very dict its filter saw.
    assert kept == [names[n - 1] if n % 5 else "changed" for n in range(4, len(names) + 1, 4)]
    oracle = chess.pgn.read_headers
    handle = io.StringIO(text)
    for number, headers in enumerate(seen, 1):
        expected = dict(oracle(handle))
        if number % 5 == 0:
            expected["White"] = "changed"
            del expected["Event"]
        assert headers == expected, number


def test_the_first_game_of_a_fresh_process_reads_as_any_later_one():
    # A reader may be the first thing a process asks of the engine: its first
    # game must not be judged before the engine's attack tables are filled.
    code = textwrap.dedent('''
        import io, tavrinmoss
        text = '[FEN "4k3/8/8/8/8/8/8/4RK2 w - - 0 1"]\\n\\n1. Kf2 Kd7 *\\n'
        def outcome():
            try:
                moves = [m.uci() for m in next(iter(tavrinmoss.Board.read_pgn(io.StringIO(text))))[1].move_stack]
            except ValueError as e:
                moves = str(e)
            try:
                samples = tavrinmoss.Board.read_samples(io.StringIO(text))
                return moves, sum(len(b["game"]) for b in samples), samples.skipped
            except ImportError:  # no numpy here
                return moves
        first = outcome()
        tavrinmoss.Board().legal_moves()
        print(first == outcome(), first)
    ''')
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("True") and "no legal moves" in out, out
