"""The README's code sample runs as printed, in a fresh directory, as a user would paste it."""

import os
import pathlib
import re
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]


def readme_sample():
    text = (REPO / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert blocks, "the README has no python sample"
    return blocks[0]


def test_readme_sample_runs_as_printed(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", readme_sample()], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # It printed the hits of its search: the record it added is the nearest to the query.
    first = done.stdout.splitlines()[0].split()
    assert len(first) >= 3 and float(first[1]) > 0.9
    assert (tmp_path / "notes.ndjson").exists()
    assert (tmp_path / "memory.db" / "collections" / "copy").is_dir()
