"""The installed distribution: help text, stub files, declared dependency ranges, README examples."""
import importlib.metadata
import io
import re
import tempfile
from contextlib import redirect_stdout
from pathlib import Path

import pytest
from packaging.requirements import Requirement

import tarvex
from conftest import run_python

ROOT = Path(__file__).resolve().parents[1]
MODULE_PATH = Path(tarvex.__file__)


def test_help_shows_signature_and_docstring():
    proc = run_python("import tarvex; help(tarvex.mfx)", timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = [line.strip() for line in proc.stdout.splitlines()]
    assert any(re.fullmatch(r"mfx\(model, chunk_size=\S+, se_method=\S+\)", line) for line in lines), proc.stdout
    for doc_line in tarvex.mfx.__doc__.splitlines():
        assert doc_line.strip() in lines, doc_line
    assert "--" not in lines  # the signature header is not repeated as text


def test_module_is_a_single_extension_with_one_public_name():
    # The stub files must not turn tarvex into a package or add names to it.
    assert MODULE_PATH.suffix == ".so" and MODULE_PATH.parent.name != "tarvex"
    assert not hasattr(tarvex, "PanicException")


@pytest.mark.parametrize("relative", ["tarvex.pyi", "tarvex-stubs/__init__.pyi"])
def test_stub_installed_from_the_source_copy(relative):
    installed = MODULE_PATH.parent / relative
    assert installed.is_file(), f"{installed} is not installed"
    assert installed.read_bytes() == (ROOT / "tarvex.pyi").read_bytes()
    recorded = {str(f) for f in importlib.metadata.files("tarvex")}
    assert relative in recorded


def declared_requirements():
    return [Requirement(r) for r in importlib.metadata.requires("tarvex")]


@pytest.mark.parametrize("name", ["numpy", "pandas", "statsmodels"])
def test_installed_stack_lies_in_the_declared_ranges(name):
    # Each environment of the compatibility matrix must test a supported combination.
    reqs = [r for r in declared_requirements() if r.name == name]
    assert reqs, f"{name} has no declared range"
    version = importlib.metadata.version(name)
    for req in reqs:
        assert req.specifier.contains(version, prereleases=True), f"{name} {version} outside {req}"


def test_readme_python_examples_run_and_print_what_the_readme_shows(tmp_path, monkeypatch):
    # Every ```python block runs; a ```text block right after one shows its output.
    text = (ROOT / "README.md").read_text()
    pairs = re.findall(r"^```python\n(.*?)^```\n(?:\n```text\n(.*?)^```\n)?", text, re.S | re.M)
    assert len(pairs) >= 2
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))  # the memmap example's file
    namespace = {}
    for code, shown in pairs:
        out = io.StringIO()
        with redirect_stdout(out):
            exec(compile(code, "README.md", "exec"), namespace)
        if shown:
            assert [l.rstrip() for l in out.getvalue().splitlines()] == [l.rstrip() for l in shown.splitlines()]
