import itertools
import random
import re
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib

import pytest

from tavrinmoss import Board, Move

chess = pytest.importorskip("chess")

SVG = "{http://www.w3.org/2000/svg}"
HREF = "{http://www.w3.org/1999/xlink}href"
SYMBOLS = dict(zip("PNBRQKpnbrqk", "♙♘♗♖♕♔♟♞♝♜♛♚"))


def checked_board():
    """1. e4 f6 2. Qh5+: a last move (d1h5) and a king in check (e8)."""
    board = Board()
    for uci in ("e2e4", "f7f6", "d1h5"):
        board.apply_uci(uci)
    return board


def sample_positions(count=120, seed=11):
    """FENs met along seeded random games: promotions, castling and en passant included."""
    rng, fens = random.Random(seed), []
    while len(fens) < count:
        board = chess.Board()
        for _ in range(rng.randrange(10, 160)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
            if rng.random() < 0.1:
                fens.append(board.fen())
    return fens


POSITIONS = sample_positions()


@pytest.mark.parametrize("fen", POSITIONS + ["8/8/8/8/8/8/8/8 w - - 0 1"])
def test_unicode_matches_python_chess_for_every_option(fen):
    ours, oracle = Board(fen), chess.Board(fen)
    for invert, borders, empty, orientation in itertools.product(
            (False, True), (False, True), ("⭘", ".", "", "··", "🂠"), (True, False)):
        options = dict(invert_color=invert, borders=borders, empty_square=empty, orientation=orientation)
        assert ours.unicode(**options) == oracle.unicode(**options), options


def test_unicode_defaults_and_positional_arguments():
    board = Board(POSITIONS[0])
    expected = chess.Board(POSITIONS[0]).unicode()
    assert board.unicode() == expected
    assert board.unicode(None, None, None, None) == expected
    assert board.unicode(True, True, "-", False) == board.unicode(
        invert_color=True, borders=True, empty_square="-", orientation=False)


# Boards python-chess cannot hold (overlapping sets, no kings) show in the
# symbols what str() shows in letters.
@pytest.mark.parametrize("build", [
    lambda b: b.set_pieces_or("Q", 1 << 12),
    lambda b: b.set_pieces_or("B", 0xFFFF),
    lambda b: b.set_pieces_xor("K", b.get_pieces("K")),
])
def test_unicode_agrees_with_the_letter_grid_on_contrived_boards(build):
    board = Board()
    build(board)
    letters = str(board).replace(".", "*")
    assert board.unicode(empty_square="*") == "".join(SYMBOLS.get(c, c) for c in letters)
    ET.fromstring(board.svg())


def pieces_drawn(svg):
    """{square: letter} read back from the <use> elements, assuming white at the bottom."""
    drawn = {}
    for use in ET.fromstring(svg).iter(SVG + "use"):
        column, row = ((int(use.get(axis)) - 20) // 45 for axis in ("x", "y"))
        kind = use.get(HREF).removeprefix("#tm-")
        drawn[(7 - row) * 8 + column] = kind.upper() if use.get("fill") == "#fff" else kind
    return drawn


@pytest.mark.parametrize("fen", POSITIONS)
def test_svg_places_every_piece_on_its_square(fen):
    board = Board(fen)
    expected = {s: p.symbol() for s, p in chess.Board(fen).piece_map().items()}
    assert pieces_drawn(board._repr_svg_()) == expected
    flipped = pieces_drawn(board.svg(orientation=False))
    assert {63 - s: p for s, p in flipped.items()} == expected


def test_svg_is_self_contained_xml_of_the_requested_size():
    board = checked_board()
    for size in (1, 123, 400, 5000):
        root = ET.fromstring(board.svg(size))
        assert (root.tag, root.get("width"), root.get("height"), root.get("viewBox")) == (
            SVG + "svg", str(size), str(size), "0 0 400 400")
    text = board._repr_svg_()
    assert text == board.svg() == board.svg(400, True)
    assert all(ref.startswith("#") for ref in re.findall(r'href="([^"]*)"', text))
    assert all(ref.startswith("#") for ref in re.findall(r"url\(([^)]*)\)", text))
    assert not re.search(r"<(image|text|style|script|foreignObject)\b|@import", text)


@pytest.mark.parametrize("size, error", [(0, ValueError), (-1, ValueError), (2**32, ValueError),
                                         (2**70, ValueError), ("400", TypeError), (4.0, TypeError)])
def test_svg_rejects_a_bad_size(size, error):
    with pytest.raises(error, match="size"):
        Board().svg(size)


def square_fills(svg):
    """{(x, y): fill} of the 45-unit rectangles: the squares and the check mark."""
    return [((int(r.get("x")), int(r.get("y"))), r.get("fill"))
            for r in ET.fromstring(svg).iter(SVG + "rect") if r.get("width") == "45"]


def test_svg_marks_the_last_move_and_a_checked_king():
    start = square_fills(Board().svg())
    assert len(start) == 64 and "url(#tm-check)" not in dict(start).values()
    board = checked_board()
    fills = square_fills(board.svg())
    changed = {xy for (xy, fill), (_, before) in zip(fills, start) if fill != before}
    assert changed == {(20 + 45 * 3, 335), (20 + 45 * 7, 155)}  # d1 and h5
    assert fills[64:] == [((20 + 45 * 4, 20), "url(#tm-check)")]  # e8
    board.pop()
    assert len(square_fills(board.svg())) == 64


def png_pixels(data):
    """(width, height, rows of (r, g, b)) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, color_type = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
    assert depth == 8 and color_type in (2, 6)
    bpp = 3 if color_type == 2 else 4
    raw, stride, prev, rows = zlib.decompress(idat), width * bpp, bytearray(width * bpp), []
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, bpp)])
        prev = line
    return width, height, rows


@pytest.mark.skipif(shutil.which("rsvg-convert") is None, reason="librsvg2-bin is not installed")
def test_svg_renders_as_a_chess_board(tmp_path):
    board = checked_board()
    for size in (200, 400):
        path = tmp_path / f"board{size}.svg"
        path.write_text(board.svg(size))
        png = subprocess.run(["rsvg-convert", path], check=True, capture_output=True).stdout
        assert struct.unpack(">II", png[16:24]) == (size, size)
    width, height, rows = png_pixels(png)
    assert (width, height) == (400, 400)

    def at(square, dx=22, dy=22):
        return rows[20 + 45 * (7 - square // 8) + dy][20 + 45 * (square % 8) + dx]

    assert at(chess.E6) == (0xEF, 0xE3, 0xC8) and at(chess.E5) == (0xB3, 0x8B, 0x66)
    assert at(chess.D1) == (0xE3, 0xE4, 0x8C)  # the queen's empty starting square
    assert at(chess.A1, dy=26) == (255, 255, 255) and at(chess.A8, dy=26) == (0x22, 0x22, 0x22)
    red, green, _ = at(chess.E8, dx=5)
    assert red - green > 60  # the checked king's glow
