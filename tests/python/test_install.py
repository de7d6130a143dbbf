"""pip install . into a fresh virtual environment: the module, its type stub
with the marker that type checkers look for, and the mirabex command."""
import os
import subprocess
import venv
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
USE = """import mirabex
reveal_type(mirabex.Hl7Json("MSH|x").hl7_json)
mirabex.JsonHl7.from_file(1)
"""


@pytest.mark.slow
def test_pip_install_brings_the_stub_and_the_command(tmp_path):
    environment = tmp_path / "venv"
    venv.create(environment, system_site_packages=True, with_pip=False, symlinks=True)
    python = environment / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--quiet",
                    REPO], check=True, cwd=tmp_path)
    site = Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                               check=True, capture_output=True, text=True).stdout.strip())
    for name in ("mirabex.pyi", "mirabex/py.typed", "mirabex_cli.py", "mirabex_mllp/server.py"):
        assert (site / name).is_file(), name
    assert not (site / "mirabex" / "__init__.py").exists()

    (tmp_path / "a.hl7").write_text("MSH|^~\\&|A|B|C|D|E||ADT^A01|1|P|2.5\rPID|1")
    (tmp_path / "use.py").write_text(USE)
    clean = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    command = subprocess.run([environment / "bin" / "mirabex", "validate", "a.hl7"], cwd=tmp_path,
                             env=clean, capture_output=True, text=True)
    assert (command.returncode, command.stdout, command.stderr) == (0, "a.hl7:1: OK\n", "")
    version = subprocess.run([environment / "bin" / "mirabex", "--version"], env=clean,
                             capture_output=True, text=True)
    assert version.stdout == "mirabex 0.1.0\n"
    typed = subprocess.run([python, "-m", "mypy", "use.py"], cwd=tmp_path, env=clean,
                           capture_output=True, text=True)
    assert typed.returncode == 1, typed.stdout + typed.stderr
    assert typed.stdout.splitlines()[:2] == [
        'use.py:2: note: Revealed type is "list[dict[str, str]]"',
        'use.py:3: error: Argument 1 to "from_file" of "JsonHl7" has incompatible type "int"; '
        'expected "str"  [arg-type]']
