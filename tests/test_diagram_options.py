"""svg()'s python-chess options: the shapes drawn against chess.svg.board's, and a real renderer's pixels."""
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET

import pytest

from tavrinmoss import Board, Move
from test_pictures import SVG, checked_board, png_pixels, square_fills

chess = pytest.importorskip("chess")
chess_svg = pytest.importorskip("chess.svg")

ARROWS = [(chess.E2, chess.E4), (chess.G1, chess.F3, "red"), (chess.D7, chess.D7, "blue"),
          (chess.A1, chess.H8, "yellow"), (chess.B8, chess.C6, "#ff000080")]


def shapes(svg):
    """[(tag, class)] of the arrow shapes, in order."""
    return [(e.tag.removeprefix(SVG), e.get("class")) for e in ET.fromstring(svg).iter()
            if e.get("class") in ("arrow", "circle")]


def points(svg):
    """The numbers of every arrow shape, for comparing geometry."""
    out = []
    for e in ET.fromstring(svg).iter():
        if e.get("class") in ("arrow", "circle"):
            for name in ("x1", "y1", "x2", "y2", "cx", "cy", "points"):
                if e.get(name):
                    out += [float(v) for v in re.split("[ ,]", e.get(name))]
    return out


@pytest.mark.parametrize("orientation", [True, False])
def test_arrows_have_python_chess_shapes_and_geometry(orientation):
    board = Board()
    ours = board.svg(arrows=ARROWS, orientation=orientation)
    theirs = chess_svg.board(chess.Board(), arrows=[chess_svg.Arrow(*a[:2], color=a[2] if len(a) > 2 else "green")
                                                    for a in ARROWS], orientation=orientation)
    assert shapes(ours) == shapes(theirs)
    # python-chess's squares begin 15 units in (its coordinate margin), ours 20.
    assert points(ours) == pytest.approx([v + 5 for v in points(theirs)], abs=1e-3)
    # python-chess's Arrow objects are read as they are.
    assert board.svg(arrows=[chess_svg.Arrow(chess.E2, chess.E4)]) == board.svg(arrows=[(chess.E2, chess.E4)])


def test_arrow_colours_and_opacity_follow_python_chess_names():
    svg = Board().svg(arrows=ARROWS, colors={"arrow red": "#00ff00"})
    lines = [e for e in ET.fromstring(svg).iter(SVG + "line")]
    circle = next(e for e in ET.fromstring(svg).iter(SVG + "circle") if e.get("class") == "circle")
    assert (lines[0].get("stroke"), float(lines[0].get("opacity"))) == ("#15781B", pytest.approx(0x80 / 255))
    assert lines[1].get("stroke") == "#00ff00" and lines[1].get("opacity") is None
    assert circle.get("stroke") == "#003088"
    assert (lines[2].get("stroke"), lines[3].get("stroke")) == ("#e68f00", "#ff0000")


def test_fill_squares_check_lastmove_and_flipped():
    board = checked_board()
    default = square_fills(board.svg())
    assert square_fills(board.svg(lastmove=Move.from_uci("d1h5"), check=chess.E8)) == default
    plain = square_fills(board.svg(lastmove=None, check=None))
    assert len(plain) == 64 and plain == square_fills(Board().svg())
    moved = square_fills(board.svg(lastmove=Move.from_uci("a1a2"), check=chess.A1))
    assert moved[64] == ((20, 335), "url(#tm-check)")
    assert {xy for xy, fill in moved[:64]} == {xy for xy, _ in plain}
    filled = square_fills(board.svg(fill={chess.E4: "#123456", chess.A8: "#11223344"}))
    assert ((200, 200), "#123456") in filled and ((20, 20), "#112233") in filled
    marked = ET.fromstring(board.svg(squares=[chess.A1, chess.H8]))
    crosses = [(u.get("x"), u.get("y")) for u in marked.iter(SVG + "use") if u.get("{http://www.w3.org/1999/xlink}href") == "#tm-x"]
    assert crosses == [("20", "335"), ("335", "20")]
    assert board.svg(squares=chess.BB_A1 | chess.BB_H8) == board.svg(squares=chess.SquareSet([chess.A1, chess.H8]))
    assert board.svg(flipped=True) == board.svg(orientation=False)
    assert board.svg(flipped=True, orientation=False) == board.svg()
    assert ET.fromstring(board.svg(coordinates=False)).get("viewBox") == "20 20 360 360"
    assert board.svg(None, None, None, None, None, None) == board.svg() == board._repr_svg_()


def test_colors_replace_the_palette_and_unknown_names_are_passed_over():
    board = checked_board()
    fills = [fill for _, fill in square_fills(board.svg(colors={
        "square light": "#010203", "square light lastmove": "#040506", "inner border": "#999", "no such name": "#999"}))]
    assert (fills.count("#010203"), fills.count("#040506"), fills.count("#b38b66")) == (30, 2, 32)


@pytest.mark.parametrize("options, error, message", [
    ({"arrows": [(0, 64)]}, ValueError, "out of range"),
    ({"arrows": [(0,)]}, ValueError, "an arrow is"),
    ({"arrows": [0]}, TypeError, "arrows"),
    ({"arrows": [(0, 1, 5)]}, TypeError, "arrows"),
    ({"fill": {64: "red"}}, ValueError, "out of range"),
    ({"fill": [1]}, TypeError, "fill"),
    ({"fill": {1: '"/><script>'}}, ValueError, "not a colour"),
    ({"fill": {1: "url(http://example.com/x.svg#p)"}}, ValueError, "not a colour"),
    ({"colors": {"square light": "red;x"}}, ValueError, "not a colour"),
    ({"colors": {"square light": 3}}, TypeError, "colors"),
    ({"squares": [99]}, ValueError, "out of range"),
    ({"squares": -1}, ValueError, "bitboard"),
    ({"check": 64}, ValueError, "out of range"),
    ({"lastmove": "e2e4"}, TypeError, "lastmove"),
    ({"flipped": "yes"}, TypeError, "flipped"),
])
def test_bad_options_name_themselves(options, error, message):
    board = checked_board()
    with pytest.raises(error, match=message):
        board.svg(**options)
    assert board.svg() == board._repr_svg_()


@pytest.mark.skipif(shutil.which("rsvg-convert") is None, reason="librsvg2-bin is not installed")
def test_options_render(tmp_path):
    board = Board()
    path = tmp_path / "options.svg"
    path.write_text(board.svg(arrows=[(chess.A3, chess.H3, "#0000ff")], fill={chess.D5: "#00ff00"},
                              squares=[chess.E6], flipped=True, colors={"square dark": "#000000"}))
    png = subprocess.run(["rsvg-convert", path], check=True, capture_output=True).stdout
    _, _, rows = png_pixels(png)

    def at(square, dx=22, dy=22):   # flipped: h1 at the top left
        return rows[20 + 45 * (square // 8) + dy][20 + 45 * (7 - square % 8) + dx]

    assert at(chess.D5) == (0, 255, 0)
    assert at(chess.E5) == (0, 0, 0)                 # a dark square in the new colour
    assert at(chess.D3)[2] > 200 and at(chess.D3)[0] < 60   # the arrow's shaft across the third rank
    assert sum(at(chess.E6)) < 60 and sum(at(chess.E6, dx=2, dy=22)) > 300   # the cross's middle, not its sides


def test_arguments_keep_their_reference_counts():
    import sys
    board = checked_board()
    colour, arrows, fill, colors = "#12345678", [(0, 9, "#12345678")], {3: "#12345678"}, {"arrow red": "#ff0000"}
    for options in ({"arrows": arrows, "fill": fill, "colors": colors},
                    {"arrows": arrows + [(0, 99)], "fill": fill},
                    {"arrows": [(0, 9, "red")], "colors": colors}):
        before = [sys.getrefcount(o) for o in (colour, arrows, fill, colors)]
        try:
            board.svg(**options)
        except ValueError:
            pass
        assert [sys.getrefcount(o) for o in (colour, arrows, fill, colors)] == before
