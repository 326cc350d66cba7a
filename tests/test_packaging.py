"""The installed distribution: help text, stub files, declared dependency ranges, README examples."""
import ast
import importlib.metadata
import inspect
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


def test_runtime_signature():
    params = inspect.signature(tarvex.mfx).parameters
    assert list(params) == ["model", "chunk_size", "se_method"]
    assert params["model"].default is inspect.Parameter.empty
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


def test_module_is_a_single_extension_with_one_public_name():
    # The stub files must not turn tarvex into a package or add names to it.
    assert MODULE_PATH.suffix == ".so" and MODULE_PATH.parent.name != "tarvex"
    assert [name for name in vars(tarvex) if not name.startswith("__")] == ["mfx"]
    assert not hasattr(tarvex, "PanicException")


def stub_tree(path):
    return ast.parse(path.read_text(), filename=str(path))


@pytest.mark.parametrize("relative", ["tarvex.pyi", "tarvex-stubs/__init__.pyi"])
def test_stub_installed_from_the_source_copy(relative):
    installed = MODULE_PATH.parent / relative
    assert installed.is_file(), f"{installed} is not installed"
    assert installed.read_bytes() == (ROOT / "tarvex.pyi").read_bytes()
    recorded = {str(f) for f in importlib.metadata.files("tarvex")}
    assert relative in recorded


def test_stub_declares_only_mfx_matching_the_runtime_parameters():
    tree = stub_tree(MODULE_PATH.parent / "tarvex.pyi")
    defined = []
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            modules = [node.module] if isinstance(node, ast.ImportFrom) else [a.name for a in node.names]
            assert set(modules) <= {"typing", "pandas"}, ast.dump(node)
        elif isinstance(node, ast.FunctionDef):
            defined.append(node.name)
            func = node
        elif isinstance(node, ast.Assign):
            defined.extend(t.id for t in node.targets)
            assert ast.literal_eval(node.value) == tarvex.__all__
        elif not (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)):
            pytest.fail(f"unexpected statement in the stub: {ast.dump(node)}")
    assert sorted(defined) == ["__all__", "mfx"]
    args = func.args
    assert [a.arg for a in args.args] == list(inspect.signature(tarvex.mfx).parameters)
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    assert len(args.defaults) == 2  # chunk_size and se_method are optional, model is not
    assert ast.unparse(func.returns) == "pd.DataFrame"


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
