"""vorn-hyst --review: the page's data in every mode, and the page in a real browser."""

import base64
import io
import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")

from test_cli import BAD, FILES, colour, interrupt_second, read_report, save, scan  # noqa: E402
from vorn_hyst_cli import review as review_module  # noqa: E402
from vorn_hyst_cli.cli import main  # noqa: E402
from vorn_hyst_cli.decision import COLOUR, FAILED, FIXED, GREY  # noqa: E402
from vorn_hyst_cli.outcome import Verdict  # noqa: E402
from vorn_hyst_cli.report import Row, Summary  # noqa: E402
from vorn_hyst_cli.review import THUMB_BOX, ReviewWriter  # noqa: E402

VERDICTS = list(Verdict)


def read_review(page):
    """(the run's description, the rows as dicts in input order, thumbnail chunks by number),
    read from the files the way the page's script reads them."""
    text = page.read_text()
    config = json.loads(re.search(r"window\.vornRun = (.*);\n", text)[1])
    folder = page.with_name(page.stem + "_files")
    rows, thumbs = [], {}
    for chunk in sorted(folder.glob("rows-*.js")):
        found = re.fullmatch(r"vornReview\.rows\((.*)\);\n", chunk.read_text(), re.S)
        rows += [dict(zip(config["columns"], r)) for r in json.loads(found[1])]
    for chunk in sorted(folder.glob("thumbs-*.js")):
        found = re.fullmatch(r"vornReview\.thumbs\((\d+),(.*)\);\n", chunk.read_text(), re.S)
        thumbs[int(found[1])] = json.loads(found[2])
    for row in rows:
        row["verdict"] = str(VERDICTS[row["verdict"]])
    rows.sort(key=lambda row: (row["index"], row["seq"]))  # chunks hold them as files finish
    return config, rows, thumbs


def picture(row, thumbs, which):
    """The row's before (0) or after (1) thumbnail as a Pillow image, or None."""
    if row["thumbs"] is None or not thumbs[row["thumbs"][0]][row["thumbs"][1]][which]:
        return None
    data = thumbs[row["thumbs"][0]][row["thumbs"][1]][which]
    return Image.open(io.BytesIO(base64.b64decode(data)))


def pdf_of_pages(path):
    img2pdf = pytest.importorskip("img2pdf")
    pages = []
    for pixels in (scan(300, 240), colour(120, 90)):
        buffer = io.BytesIO()
        save(pixels, buffer, format="PNG")
        pages.append(buffer.getvalue())
    path.write_bytes(img2pdf.convert(pages))


def every_kind(t):
    for name, (write, *_) in {**FILES, **BAD}.items():
        write(t / "in" / name)
    save(np.repeat(np.repeat(scan(), 30, 0), 30, 1), t / "in" / "large.png")  # a large page
    pdf_of_pages(t / "in" / "book.pdf")


def kinds_and_thumbnails(t, config, rows, thumbs):
    report = read_report(t / "r.json")
    assert sorted((r["path"], r["page"] or None, r["verdict"]) for r in rows) == \
        sorted((r["path"], r["page"], r["verdict"]) for r in report)
    assert config["state"] == "complete" and config["files"] == len(FILES) + len(BAD) + 2
    assert sum(config["counts"].values()) == len(rows)
    for row in rows:
        before, after = picture(row, thumbs, 0), picture(row, thumbs, 1)
        assert (before is None) == (row["verdict"] == FAILED), row
        assert (after is None) == (row["verdict"] != FIXED), row
        if after is not None:
            assert after.mode == "L" and after.size == before.size
        assert before is None or before.width <= THUMB_BOX[0] and before.height <= THUMB_BOX[1]
    by_name = {(Path(r["path"]).name, r["page"]): r for r in rows}
    assert picture(by_name["colour.png", 1], thumbs, 0).mode == "RGB"
    assert picture(by_name["large.png", 1], thumbs, 0).size == (220, 180)
    assert [by_name["pages.tif", n]["verdict"] for n in (1, 2, 3)] == [FIXED, COLOUR, FIXED]
    assert [by_name["book.pdf", n]["verdict"] for n in (1, 2)] == [FIXED, COLOUR]
    # Thumbnails are chunked per verdict: those of a verdict are together.
    for number in thumbs:
        assert len({r["verdict"] for r in rows if (r["thumbs"] or [0])[0] == number}) == 1
    assert all(r["out_href"] for r in rows if r["verdict"] != FAILED)
    return True


def fail_chunks_after_first(t, monkeypatch, request):
    real, calls = review_module.write_atomic, []

    def write_atomic(dest, fill, **kw):
        if dest.suffix == ".js":
            calls.append(dest)
            if len(calls) > 1:
                raise OSError(28, "No space left on device")
        return real(dest, fill, **kw)
    monkeypatch.setattr(review_module, "write_atomic", write_atomic)
    monkeypatch.setattr(review_module, "ROWS_PER_CHUNK", 1)
    monkeypatch.setattr(review_module, "THUMBS_PER_CHUNK", 1)


def earlier_page(t, monkeypatch, request):
    (t / "r_files").mkdir()
    (t / "r_files" / "rows-000009.js").write_text("vornReview.rows([]);\n")
    (t / "r_files" / "notes.txt").write_text("mine")
    (t / "r.html").write_text("an earlier page")


MODES = [
    # name, files under in/ (or a function that makes them), argv, status, what must hold
    # (tmp_path, the page's description, its rows, its thumbnails), and what to do first
    ("every kind of file", every_kind, ["{in}", "-o", "{out}", "--report", "{t}/r.json"], 1,
     kinds_and_thumbnails, None),
    ("a dry run shows what would be written",
     {"a.png": lambda p: save(scan(), p), "b.png": lambda p: save(colour(), p)},
     ["{in}", "-o", "{out}", "--dry-run"], 0,
     lambda t, config, rows, thumbs: config["dry_run"] and not (t / "out").exists()
     and [r["verdict"] for r in rows] == [FIXED, COLOUR]
     and picture(rows[0], thumbs, 1).mode == "L" and not any(r["out_href"] for r in rows), None),
    ("skipped files are listed as skipped",
     {"a.png": lambda p: save(scan(), p), "b.png": lambda p: save(colour(), p)},
     ["{in}", "-o", "{out}", "--skip-existing"], 0,
     lambda t, config, rows, thumbs: [(r["verdict"], r["thumbs"], r["out_href"])
                                      for r in rows][0] == (str(Verdict.SKIPPED), None, "out/a.png")
     and rows[1]["verdict"] == COLOUR,
     lambda t, m, r: ((t / "out").mkdir(), (t / "out" / "a.png").write_bytes(b"earlier"))),
    ("complete after Ctrl-C",
     {"a.png": lambda p: save(scan(), p), "b.png": lambda p: save(scan(), p)},
     ["{in}", "-o", "{out}", "--jobs", "1"], 130,
     lambda t, config, rows, thumbs: config["state"] == "interrupted"
     and [(Path(r["path"]).name, r["verdict"]) for r in rows] == [("a.png", FIXED)]
     and config["row_chunks"] == 1, lambda t, m, r: interrupt_second(m, None)),
    ("a page that cannot be written stops the run",
     {f"{n}.png": lambda p: save(scan(), p) for n in "abcdef"},
     ["{in}", "-o", "{out}", "--jobs", "1"], 2,
     lambda t, config, rows, thumbs: config["state"] == "stopped"
     and "No space left" in config["message"] and len(os.listdir(t / "out")) < 6,
     fail_chunks_after_first),
    ("an earlier page is replaced, and only its own files", {"a.png": lambda p: save(scan(), p)},
     ["{in}", "-o", "{out}", "--overwrite"], 0,
     lambda t, config, rows, thumbs: len(rows) == 1
     and sorted(os.listdir(t / "r_files")) == ["notes.txt", "rows-000001.js", "thumbs-000001.js"],
     earlier_page),
]


@pytest.mark.parametrize("name, files, argv, status, holds, setup", MODES,
                         ids=[c[0] for c in MODES])
def test_review_page(tmp_path, monkeypatch, request, name, files, argv, status, holds, setup):
    src = tmp_path / "in"
    src.mkdir()
    if callable(files):
        files(tmp_path)
    else:
        for rel, make in files.items():
            make(src / rel)
    if setup:
        setup(tmp_path, monkeypatch, request)
    monkeypatch.chdir(tmp_path)  # the links of the page are relative to it
    names = {"in": "in", "out": "out", "t": tmp_path}
    page = tmp_path / "r.html"
    assert main([a.format(**names) for a in argv] + ["--review", str(page)]) == status
    assert holds(tmp_path, *read_review(page))


def test_written_as_the_run_goes(tmp_path):
    """A run killed outright leaves a page that shows what was written."""
    page = tmp_path / "r.html"
    writer = ReviewWriter(page)
    thumbs = (b"before", b"after")
    verdicts = [FIXED, GREY, COLOUR, FAILED]
    for i in range(2500):
        row = Row(f"{i}.png", 1, verdict=verdicts[i % 4])
        row.thumbs = thumbs if row.verdict != FAILED else None
        writer.add(i, [row])
    config, rows, chunks = read_review(page)
    assert config["state"] == "running" and config["row_chunks"] is None
    held = len(writer.rows) + sum(len(g) for g in writer.groups.values())
    assert len(rows) + held == 2500 and held < review_module.ROWS_PER_CHUNK + 3 * 32
    writer.close(Summary(), "complete")
    assert len(read_review(page)[1]) == 2500


# ---- in a browser --------------------------------------------------------------------

def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    pytest.skip("needs headless Chromium (Debian: apt-get install chromium)")


def browse(page, fragment, *what):
    """Runs headless Chromium on the page; what it prints (--dump-dom) or writes."""
    done = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu",
                           "--hide-scrollbars", "--window-size=1200,1400",
                           "--virtual-time-budget=5000", *what, page.as_uri() + fragment],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def shown_rows(dom):
    """(verdict, file name, thumbnails shown) of each row the page shows."""
    rows = re.findall(r'<tr data-verdict="([a-z_]+)">(.*?)</tr>', dom, re.S)
    return [(verdict, re.search(r'class="file"><a [^>]*>([^<]*)</a>', body)[1].split("/")[-1],
             body.count('src="data:image/jpeg;base64,')) for verdict, body in rows]


@pytest.fixture(scope="module")
def browsed_run(tmp_path_factory):
    base = tmp_path_factory.mktemp("browsed")
    for name in ("scan.png", "colour.png", "pages.tif", "black-white.png"):
        FILES[name][0](base / name)
    save(scan(700, 500), base / "large.png")
    (base / "junk.png").write_bytes(b"junk")
    assert main([str(base), "-o", str(base / "out"), "--review", str(base / "r.html")]) == 1
    return base / "r.html"


@pytest.mark.slow
def test_the_page_in_a_browser(browsed_run, tmp_path):
    everything = shown_rows(browse(browsed_run, "", "--dump-dom"))
    # levels fixed first, in input order, with before and after; failed last, without
    assert everything == [("fixed", "large.png", 2), ("fixed", "pages.tif", 2),
                          ("fixed", "pages.tif", 2), ("fixed", "scan.png", 2),
                          ("grey", "black-white.png", 1), ("colour", "colour.png", 1),
                          ("colour", "pages.tif", 1), ("failed", "junk.png", 0)]
    assert shown_rows(browse(browsed_run, "#v=colour", "--dump-dom")) == \
        [("colour", "colour.png", 1), ("colour", "pages.tif", 1)]
    assert shown_rows(browse(browsed_run, "?v=failed", "--dump-dom")) == \
        [("failed", "junk.png", 0)]
    shot = tmp_path / "shot.png"
    browse(browsed_run, "", f"--screenshot={shot}")
    with Image.open(shot) as im:
        pixels = np.asarray(im.convert("RGB")).astype(int)
    fixed_badge = (np.abs(pixels - (0x1a, 0x7f, 0x37)).sum(axis=2) < 8).sum()
    paper = (np.abs(pixels - (200, 190, 160)).sum(axis=2) < 12).sum()  # scan()'s, before
    black = (pixels.sum(axis=2) < 10).sum()  # its ink, after
    assert fixed_badge > 200 and paper > 2000 and black > 1000


@pytest.mark.slow
def test_a_page_left_by_a_killed_run_in_a_browser(tmp_path):
    page = tmp_path / "r.html"
    writer = ReviewWriter(page)
    for i, verdict in enumerate([COLOUR, FIXED, FAILED] * 400):
        writer.add(i, [Row(f"{i}.png", 1, verdict=verdict)])
    writer.rows.clear()  # what the killed run still held
    rows = shown_rows(browse(page, "#v=fixed&p=3", "--dump-dom"))
    assert rows == [("fixed", f"{i}.png", 0) for i in range(301, 451, 3)]
