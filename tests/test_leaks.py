"""tests/leak_check.py with a reduced count: no reference or memory is lost on any path."""

import leak_check


def test_no_reference_or_memory_is_lost(capsys):
    status = leak_check.main(["--calls", "150", "--rounds", "4"])
    out = capsys.readouterr().out
    with capsys.disabled():
        print("\n" + out.strip())
    assert status == 0, out
