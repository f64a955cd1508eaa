"""The package's modules import one another without a cycle, and only at the top of a
module (an import inside a function that only dodges a cycle hides one)."""

import ast
from pathlib import Path

import quorvelkit

PACKAGE = Path(quorvelkit.__file__).parent


def test_no_import_cycle():
    modules = {p.stem: ast.parse(p.read_text()) for p in PACKAGE.glob("*.py")}
    graph: dict[str, set[str]] = {}
    for name, tree in modules.items():
        top = {id(node) for node in tree.body}
        graph[name] = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                # "from .fit import LmmFit" imports fit; "from . import fit" too
                targets = [node.module.split(".")[0]] if node.module else [a.name for a in node.names]
                for target in (t for t in targets if t in modules):
                    assert id(node) in top, f"{name} imports {target} inside a function or block"
                    graph[name].add(target)
    done: set[str] = set()

    def visit(name: str, path: list[str]) -> None:
        assert name not in path, "import cycle: " + " -> ".join([*path, name])
        if name not in done:
            for target in sorted(graph[name]):
                visit(target, [*path, name])
            done.add(name)

    for name in sorted(graph):
        visit(name, [])
