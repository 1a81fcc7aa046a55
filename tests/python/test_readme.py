import os
import pathlib
import subprocess
import sys

from conftest import KELDA_BINARY

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "install"))
from readme_block import block  # noqa: E402


def test_the_readme_python_examples_run_on_the_demo_database(tmp_path, monkeypatch):
    subprocess.run([KELDA_BINARY, "demo", "kelda-demo"], cwd=tmp_path, check=True,
                   stdout=subprocess.DEVNULL)
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    example = block(readme, "From Python", "python", 1)
    notebook = block(readme, "From Python", "python", 2)
    assert len(example.strip().splitlines()) == 5
    monkeypatch.chdir(tmp_path)
    scope = {}
    exec(example, scope)
    # The notebook shows the cell's last value by its PNG.
    shown = eval(notebook, scope)
    assert shown._repr_png_()[:8] == b"\x89PNG\r\n\x1a\n"
    assert list(scope["net"].input_relevance()) == ["FloorArea", "GardenArea", "HouseNumber"]
    assert os.path.exists("kelda-demo/houses.db")
