"""The batch conversion example on a local Dask cluster of worker processes:
the same lines and errors as the command line's own conversion."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from support import CORPUS_DIR

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "batch_convert.py"


@pytest.mark.slow
def test_dask_example_matches_the_command_line(tmp_path):
    messages = tmp_path / "messages"
    shutil.copytree(CORPUS_DIR, messages)
    (messages / "latin1.hl7").write_bytes("MSH|^~\\&|\u00c9".encode("latin-1"))
    out = tmp_path / "out.jsonl"
    example = subprocess.run([sys.executable, EXAMPLE, messages, "-o", out, "--workers", "2"],
                             capture_output=True, text=True, timeout=300)
    command = subprocess.run([sys.executable, "-m", "mirabex_cli", "to-json", messages],
                             capture_output=True, text=True)
    assert example.returncode == command.returncode == 1
    assert out.read_text(encoding="utf-8") == command.stdout
    assert len(command.stdout.splitlines()) == len(list(CORPUS_DIR.iterdir())) + 1
    assert command.stderr and command.stderr in example.stderr
