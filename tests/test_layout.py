"""The shape of the tree: the engine's layers include one way only, the Python package has no
import cycle, and the built module exports its init function alone."""
import ast
import re
import shutil
import subprocess
from pathlib import Path

import pytest

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


@pytest.mark.skipif(not shutil.which("nm"), reason="needs nm (binutils)")
def test_module_exports_only_its_init_function():
    import importlib.util

    origin = importlib.util.find_spec("quarrin.snapwell").origin
    out = subprocess.run(["nm", "-D", "--defined-only", origin], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_snapwell"]
