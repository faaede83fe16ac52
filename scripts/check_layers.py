"""Checks that every import of the tavlox_zero package looks down its layers.

    python scripts/check_layers.py [--verbose]

A module's layer is its subpackage (base, engine, nets, data, rating, players, training,
view); the modules left at the top of the package are commands, the highest layer. A
module may import from its own layer and the ones below it; an import of a higher layer,
or of a command by anything but a command, is printed. With --verbose every module is
listed with its layer and its imports inside functions. The exit status is 1 when an
import looks up.
"""

from __future__ import annotations

import argparse
import ast
import sys
from pathlib import Path

PACKAGE = "tavlox_zero"
ROOT = Path(__file__).resolve().parent.parent / "python" / PACKAGE
# Bottom up; the compiled extension modules (_engine, _rules) sit below everything.
LAYERS = ("extension", "base", "engine", "nets", "data", "rating", "players", "training", "view", "commands")


def module_name(path: Path) -> str:
    parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def layer_of(name: str) -> str:
    parts = name.split(".")
    if len(parts) == 1 or parts[1].startswith("__"):
        return "package"
    if parts[1].startswith("_"):
        return "extension"
    if parts[1] in LAYERS and (ROOT / parts[1]).is_dir():
        return parts[1]
    return "commands"


def imported_names(path: Path, name: str) -> list[tuple[str, int, bool]]:
    """(absolute module name, line, whether inside a function) of each import of the package."""
    tree = ast.parse(path.read_text(), str(path))
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    functions = [node for node in ast.walk(tree) if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))]
    nested = {id(inner) for f in functions for inner in ast.walk(f) if inner is not f}
    nested |= {id(f) for f in functions}
    found = []
    for node in ast.walk(tree):
        local = id(node) in nested
        if isinstance(node, ast.Import):
            found += [(alias.name, node.lineno, local) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                module = ".".join(base + ([node.module] if node.module else []))
            else:
                module = node.module or ""
            # `from . import network` names a module; `from .x import y` names x.
            targets = [f"{module}.{alias.name}" for alias in node.names] if not node.module else [module]
            found += [(target, node.lineno, local) for target in targets]
    return [(target, line, local) for target, line, local in found if target.split(".")[0] == PACKAGE]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verbose", action="store_true", help="list every module, its layer and its inner imports")
    args = parser.parse_args()
    modules = {module_name(path): path for path in sorted(ROOT.rglob("*.py"))}
    upward = 0
    for name, path in modules.items():
        layer = layer_of(name)
        imports = imported_names(path, name)
        if args.verbose:
            inner = [f"{target}:{line}" for target, line, local in imports if local]
            print(f"{layer:<9} {name}" + (f"  (inside functions: {', '.join(inner)})" if inner else ""))
        if layer == "package":
            continue
        for target, line, _ in imports:
            # `from .engine import x` may name a module or an attribute: judge the longest known module.
            while target not in modules and "." in target and not target.split(".")[-1].startswith("_"):
                target = target.rpartition(".")[0]
            to = layer_of(target)
            if to == "package":
                continue
            if LAYERS.index(to) > LAYERS.index(layer):
                upward += 1
                print(f"{path.relative_to(ROOT.parent.parent)}:{line}: {name} ({layer}) imports {target} ({to})")
    print(f"{len(modules)} modules, {upward} upward import(s)")
    return 1 if upward else 0


if __name__ == "__main__":
    sys.exit(main())
