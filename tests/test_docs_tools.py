"""The documentation site's own tools: the page check and the native functions' entries."""

import importlib
import importlib.machinery
import importlib.util
import pathlib
import re
import struct
import sys
import zlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def _load(name, path):
    loader = importlib.machinery.SourceFileLoader(name, str(path))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader))
    loader.exec_module(module)
    return module


check_docs = _load("check_docs", ROOT / "tools" / "check-docs")
sys.path.insert(0, str(ROOT / "docs" / "_ext"))
native_signatures = importlib.import_module("native_signatures")
sys.path.pop(0)


def png(width=2, height=2, damage=None):
    """A grey PNG written from the format's definition, not by the code under test."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    pixels = zlib.compress(b"".join(b"\0" + b"\x80" * width for _ in range(height)))
    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))
    return damage(data) if damage else data


def flip_idat_byte(data):
    at = data.index(b"IDAT") + 6
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


@pytest.mark.parametrize("name, data, problem", [
    ("plot.png", png(), None),
    ("cut.png", png()[:-7], "incomplete"),
    ("flipped.png", png(damage=flip_idat_byte), "damaged IDAT"),
    ("empty.png", png(width=0), "no size"),
    ("html.png", b"<html></html>", "not a PNG"),
    ("figure.svg", b'<svg xmlns="http://www.w3.org/2000/svg" width="4" height="4"/>', None),
    ("page.svg", b"<html/>", "not an SVG"),
    ("broken.svg", b"<svg", "unreadable SVG"),
    ("photo.jpg", b"\xff\xd8 pixels \xff\xd9", None),
    ("half.jpg", b"\xff\xd8 pixels", "not a whole JPEG"),
    ("anim.gif", b"GIF89a", "unchecked kind"),
])
def test_picture_problem(tmp_path, name, data, problem):
    path = tmp_path / name
    path.write_bytes(data)
    found = check_docs.picture_problem(path)
    assert (found is None) if problem is None else (problem in found)


@pytest.mark.parametrize("src, problem", [
    ("_images/plot.png", None),
    ("data:image/png;base64,iVBORw0KGgo=", None),
    ("_images/missing.png", "no such file"),
    ("../outside.png", "no such file"),
    ("https://example.org/plot.png", "elsewhere"),
    ("//example.org/plot.png", "elsewhere"),
    ("_images/cut.png", "incomplete"),
])
def test_check_files(tmp_path, src, problem):
    site = tmp_path / "html"
    (site / "_images").mkdir(parents=True)
    (site / "_images" / "plot.png").write_bytes(png())
    (site / "_images" / "cut.png").write_bytes(png()[:-7])
    (tmp_path / "outside.png").write_bytes(png())
    page = site / "index.html"
    page.write_text(f'<html><body><p>text</p><img alt="x" src="{src}"></body></html>')
    sources, problems = check_docs.check_files(page, site.resolve())
    assert sources == [src]
    assert problems == [] if problem is None else (len(problems) == 1 and problem in problems[0])


@pytest.mark.parametrize("levels, expected", [
    ({255: 1000}, ["uniform", "blank"]),          # a white page
    ({128: 1000}, ["uniform"]),                   # one flat grey
    ({255: 995, 0: 5}, ["blank"]),                # a speck on white
    ({255: 800, 30: 150, 120: 50}, []),           # text and a plot
])
def test_blank_problems(levels, expected):
    histogram = [levels.get(level, 0) for level in range(256)]
    problems = check_docs.blank_problems(histogram, sum(histogram))
    assert [word for word in ("uniform", "blank") if any(word in p for p in problems)] == expected


NATIVE = [("varnex.algorithms.src.densa.binaries.densa_core", "densa_main"),
          ("varnex.algorithms.src.densa.binaries.densa_postprocess", "densa_postprocess"),
          ("varnex.algorithms.src.linka.binaries.linka_bfs", "find_connected_components"),
          ("varnex.algorithms.src.linka.binaries.linka_connect", "connect_unlabeled"),
          ("varnex.algorithms.src.linka.binaries.linka_lp", "weighted_label_propagation")]


def _parameters(arguments):
    """The parameter names of a signature's argument text, cut at top-level commas."""
    parts, depth, current = [], 0, ""
    for char in arguments:
        depth += (char == "[") - (char == "]")
        if char == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += char
    parts.append(current)
    return [_name(part.split("=")[0].strip()) for part in parts]


def _name(parameter):
    if ":" in parameter.split("[")[0]:      # annotated: "data: npt.NDArray[np.float64]"
        return parameter.split(":")[0].strip()
    return parameter.split()[-1]            # declared: "double[:, ::1] data"


@pytest.mark.parametrize("module_name, name", NATIVE)
def test_native_entry_matches_the_module(module_name, name):
    """The page's typed signature names the parameters the module's own signature line
    names, in order, and every line of the docstring appears on the page."""
    module = importlib.import_module(module_name)
    function = getattr(module, name)
    signature, _ = native_signatures.stub_entry(module, name)
    head, body = native_signatures.docstring_body(function)
    declared = re.match(rf"{name}\((.*?)\)( ->.*)?$", head).group(1)
    stub_arguments = re.match(r"\((.*?)\)( ->.*)?$", signature).group(1)
    assert _parameters(stub_arguments) == _parameters(declared)
    original = [line.strip() for line in function.__doc__.splitlines()]
    assert all(line.strip() in original for line in body)
