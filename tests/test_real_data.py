"""The real-image crops in tests/data/real are the files their manifest names:
same bytes, and each cut from an entry of bench/real_corpus.json."""

import hashlib
import json
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
REAL = ROOT / "tests" / "data" / "real"
MANIFEST = json.loads((REAL / "MANIFEST.json").read_text(encoding="utf-8"))
CORPUS = {e["id"]: e for e in json.loads((ROOT / "bench" / "real_corpus.json").read_text("utf-8"))}


def test_manifest_lists_every_file():
    stored = sorted(p.name for p in REAL.iterdir() if p.name != "MANIFEST.json")
    assert sorted(m["file"] for m in MANIFEST) == stored


@pytest.mark.parametrize("entry", MANIFEST, ids=[m["file"] for m in MANIFEST])
def test_crop_matches_manifest(entry):
    assert hashlib.sha256((REAL / entry["file"]).read_bytes()).hexdigest() == entry["sha256"]
    assert CORPUS[entry["source_id"]]["sha256"] == entry["source_sha256"]
