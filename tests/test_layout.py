"""The shape of the tree: the engine's layers include one way only, the Python package has no
import cycle, the built module exports its init function alone, and a test whose part is missing
fails under CI."""
import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import parts

SRC = Path(__file__).resolve().parent.parent / "src"
# The engine's layers, lowest first: a unit includes headers of its own layer or below.
LAYERS = ["core", "args", "motion", "recording", "drivers", "entries", "module"]


def cycles(graph):
    """The nodes of `graph` ({node: {nodes}}) that lie on a cycle."""
    state, on_cycle = {}, set()

    def visit(node, path):
        state[node] = "open"
        for nxt in graph.get(node, ()):
            if state.get(nxt) == "open":
                on_cycle.update(path[path.index(nxt):])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = "done"
    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    return sorted(on_cycle)


def engine_includes():
    graph = {}
    for path in sorted((SRC / "engine").rglob("*.[ch]pp")):
        unit = path.relative_to(SRC / "engine").as_posix()
        graph[unit] = set(re.findall(r'^#include "([^"]+)"', path.read_text(), re.M))
    return graph


def test_engine_layers_include_one_way():
    graph = engine_includes()
    assert {unit.split("/")[0] for unit in graph} == set(LAYERS)
    upward = [(unit, inc) for unit, incs in graph.items() for inc in incs
              if LAYERS.index(inc.split("/")[0]) > LAYERS.index(unit.split("/")[0])]
    assert upward == []
    assert all(inc in graph for incs in graph.values() for inc in incs)
    assert cycles(graph) == []


def test_python_package_has_no_import_cycle():
    graph = {}
    for path in sorted((SRC / "quarrin").glob("*.py")):
        name = path.stem
        deps = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module == "quarrin":
                deps.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("quarrin."):
                deps.add(node.module.split(".")[1])
            elif isinstance(node, ast.Import):
                deps.update(a.name.split(".")[1] for a in node.names if a.name.startswith("quarrin."))
        graph[name] = deps - {name, "snapwell", "_recorder"}
    assert cycles(graph) == []


def test_module_exports_only_its_init_function():
    if not shutil.which("nm"):
        parts.missing("needs nm (binutils)")
    import importlib.util

    origin = importlib.util.find_spec("quarrin.snapwell").origin
    out = subprocess.run(["nm", "-D", "--defined-only", origin], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_snapwell"]


@pytest.mark.parametrize("ci, outcome", [("true", "failed"), ("", "skipped"), ("0", "skipped")])
def test_a_missing_part_fails_only_under_ci(tmp_path, ci, outcome):
    """A CI machine that lost its browser or broker must go red, not skip every test that uses it."""
    (tmp_path / "test_part.py").write_text(
        "import sys\nsys.path.insert(0, %r)\nimport parts\n\n"
        "def test_it():\n    parts.module('quarrin_no_such_module', 'no such part here')\n"
        % str(Path(__file__).parent))
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rfs", "-q",
                          str(tmp_path / "test_part.py")], cwd=tmp_path, capture_output=True, text=True,
                         env={**{k: v for k, v in os.environ.items() if k != "PYTEST_ADDOPTS"}, "CI": ci})
    assert "1 " + outcome in run.stdout
    assert "no such part here" in run.stdout
