"""The README's tour runs as written, and the demo runs end to end."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def readme_blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


def test_readme_has_its_tour():
    assert len(readme_blocks()) >= 4


# Each block is what a reader copies into a fresh interpreter: it must bring its own imports and
# may not lean on names or state left behind by an earlier block.
@pytest.mark.parametrize("block", readme_blocks(), ids=lambda block: block.strip().splitlines()[0][:40])
def test_readme_block_runs_on_its_own(block):
    result = subprocess.run([sys.executable, "-c", block], cwd=ROOT, capture_output=True, text=True,
                            timeout=300, env=dict(os.environ, MPLBACKEND="Agg"))
    assert result.returncode == 0, result.stderr


def test_demo_writes_what_the_readme_promises(tmp_path):
    files = [ROOT / "data" / name for name in ("cpt.gef", "cpt2.gef", "cpt_voids.gef")]
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), *map(str, files),
                             "--output", str(tmp_path)], capture_output=True, text=True, timeout=300,
                            env=dict(os.environ, MPLBACKEND="Agg"))
    assert result.returncode == 0, result.stderr
    assert "[3/3] cpt_voids.gef" in result.stdout and "skipped: GEFParsingError" in result.stdout
    for method in ("robertson", "table", "ic"):
        assert (tmp_path / "cpt" / f"gef_{method}.svg").read_text().lstrip().startswith("<?xml")
        assert (tmp_path / "cpt2" / f"layout_{method}.json").stat().st_size > 0
    assert (tmp_path / "qualification_table.pdf").read_bytes()[:5] == b"%PDF-"
    assert (tmp_path / "section.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "section.svg").stat().st_size > 0 and (tmp_path / "section.json").stat().st_size > 0
    assert "Done: 2 CPTs processed, 1 skipped" in result.stdout
