"""The module as users get it: a wheel built from the source tree with pip,
installed into a fresh virtual environment and imported from elsewhere."""
import pathlib
import subprocess
import sys
import venv

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.slow
def test_wheel_installs_and_imports(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                    "--quiet", "-w", str(wheels), str(REPO)], check=True, cwd=tmp_path)
    (wheel,) = wheels.glob("mirabex-*.whl")
    environment = tmp_path / "venv"
    venv.create(environment, system_site_packages=True, with_pip=False, symlinks=True)
    python = environment / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--no-deps", "--quiet", str(wheel)],
                   check=True, cwd=tmp_path)
    script = ("import mirabex; "
              "print(mirabex.__file__); "
              "print(mirabex.JsonHl7(mirabex.Hl7Json('PID|1||A^B').hl7_json).hl7_string)")
    result = subprocess.run([python, "-c", script], check=True, capture_output=True, text=True,
                            cwd=tmp_path, env={"PYTHONNOUSERSITE": "1"})
    location, text = result.stdout.splitlines()
    assert location.startswith(str(environment))
    assert text == "PID|1||A^B"
