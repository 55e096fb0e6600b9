"""The package's modules import one way: read with `ast` (imports inside
functions too, those under `if TYPE_CHECKING:` aside, as they never run),
their graph has no cycle, and nothing the grid rests on imports the grid."""

import ast
import textwrap
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "vemiral_grid"


def _type_checking_only(test):
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def imports_of(tree, modules):
    """The package's modules that `tree` imports, wherever the import statement is."""
    found = set()
    skipped = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and _type_checking_only(node.test):
            skipped.update(id(child) for statement in node.body for child in ast.walk(statement))
    for node in ast.walk(tree):
        if id(node) in skipped or not isinstance(node, ast.ImportFrom | ast.Import):
            continue
        if isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split(".")
                if parts[0] == PACKAGE.name and len(parts) > 1 and parts[1] in modules:
                    found.add(parts[1])
            continue
        absolute = node.level == 0 and (node.module or "").split(".")[0] == PACKAGE.name
        if node.level != 1 and not absolute:
            continue
        module = (node.module or "").removeprefix(PACKAGE.name).lstrip(".") if absolute else node.module
        if module:
            found.add(module.split(".")[0])
        else:  # from . import a, b: submodules, or names of the package itself
            found.update(alias.name if alias.name in modules else "__init__" for alias in node.names)
    return found & set(modules)


def import_graph(folder):
    modules = {path.stem: path for path in folder.glob("*.py")}
    return {name: imports_of(ast.parse(path.read_text()), modules) for name, path in modules.items()}


def cycle_in(graph):
    """One cycle of the graph as a list of modules (the first again at the end), or None."""
    state = {}  # 1: on the path being followed, 2: done

    def visit(name, path):
        state[name] = 1
        for other in sorted(graph[name]):
            if state.get(other) == 1:
                return path[path.index(other):] + [other]
            if other not in state:
                found = visit(other, path + [other])
                if found:
                    return found
        state[name] = 2
        return None

    for name in sorted(graph):
        if name not in state:
            found = visit(name, [name])
            if found:
                return found
    return None


def below(graph, top):
    """Every module `top` imports, directly or not."""
    seen, stack = set(), [top]
    while stack:
        for other in graph[stack.pop()]:
            if other not in seen:
                seen.add(other)
                stack.append(other)
    return seen


def test_the_package_imports_one_way():
    graph = import_graph(PACKAGE)
    assert cycle_in(graph) is None, " -> ".join(cycle_in(graph))


def test_what_the_grid_rests_on_knows_nothing_of_the_grid():
    graph = import_graph(PACKAGE)
    lower = below(graph, "_grid")
    assert {"_formula", "distributed", "labelled", "storage", "zarrstore"} <= lower
    assert not any("_grid" in graph[name] for name in lower), sorted(n for n in lower if "_grid" in graph[n])


# Small packages written out: what the reader counts as an import, and what it does not.
CASES = {
    "imports inside functions": (
        {"a": "def f():\n    from .b import g\n", "b": "def g():\n    from . import a\n"}, True),
    "an absolute import of the package": (
        {"a": "import vemiral_grid.b\n", "b": "from vemiral_grid.a import f\n"}, True),
    "a module imported from the package": ({"a": "from . import b\n", "b": "from .a import f\n"}, True),
    "type-only imports": (
        {"a": "from .b import g\n", "b": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .a import f\n"},
        False),
    "the package's own names": ({"__init__": "from .a import f\n", "a": "from . import __version__\n"}, True),
    "other packages": ({"a": "import numpy\nfrom numpy import a\n", "b": "from .a import f\n"}, False),
}


@pytest.mark.parametrize("modules, cyclic", CASES.values(), ids=CASES.keys())
def test_the_reader_finds_the_cycles_of_small_packages(modules, cyclic, tmp_path):
    folder = tmp_path / PACKAGE.name
    folder.mkdir()
    for name, text in modules.items():
        (folder / f"{name}.py").write_text(textwrap.dedent(text))
    assert (cycle_in(import_graph(folder)) is not None) == cyclic
