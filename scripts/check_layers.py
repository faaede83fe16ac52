"""Checks that every import of the tavlox_zero package looks down its layers.

    python scripts/check_layers.py [--verbose]

A module's layer is its subpackage (base, engine, nets, data, rating, players, training,
view); the modules left at the top of the package are commands, the highest layer. A
module may import from its own layer and the ones below it; an import of a higher layer,
or of a command by anything but a command, is printed; a module's `__getattr__`, which gives
names that moved away under their old home for one release, is exempt. With --verbose every module is
listed with its layer and its imports inside functions.

It also prints the imports inside functions that need not be there: an import belongs at the
top of its module unless what it imports needs a third-party module (torch, NumPy, Ray, ...)
that the importing module does not already need, so that the package still imports where that
module is missing (PyPy has neither torch nor NumPy). And it prints every module over
MAX_MODULE_LINES lines and every class over MAX_CLASS_LINES. The exit status is 1 when it
prints any of these.
"""

from __future__ import annotations

import argparse
import ast
import sys
from pathlib import Path

PACKAGE = "tavlox_zero"
ROOT = Path(__file__).resolve().parent.parent / "python" / PACKAGE
# Bottom up; the compiled extension modules (_engine, _rules) sit below everything.
MAX_MODULE_LINES = 400
MAX_CLASS_LINES = 150
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
    # A module's __getattr__ may give a name that moved away under its old home, for one release.
    aliases = {id(inner) for f in tree.body if isinstance(f, ast.FunctionDef) and f.name == "__getattr__"
               for inner in ast.walk(f)}
    found = []
    for node in ast.walk(tree):
        if id(node) in aliases:
            continue
        local = id(node) in nested
        if isinstance(node, ast.Import):
            found += [(alias.name, node.lineno, local) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                module = ".".join(base + ([node.module] if node.module else []))
            else:
                module = node.module or ""
            # `from .x import y` names module x.y or an attribute y of x: known_module decides.
            targets = [f"{module}.{alias.name}" for alias in node.names]
            found += [(target, node.lineno, local) for target in targets]
    return found


def package_imports(found: list) -> list[tuple[str, int, bool]]:
    return [(target, line, local) for target, line, local in found if target.split(".")[0] == PACKAGE]


def known_module(target: str, modules: dict) -> str:
    """The longest module of the package that `target` names (`from .engine import x` may name
    a module or an attribute)."""
    while target not in modules and target.count(".") > 1:
        target = target.rpartition(".")[0]
    return target


def third_party_needs(modules: dict, found: dict) -> dict[str, frozenset]:
    """For each module, the third-party top-level modules that importing it imports."""
    stdlib = set(sys.stdlib_module_names) | {"__future__"}
    direct = {}
    for name, imports in found.items():
        outside = {target.split(".")[0] for target, _, local in imports if not local} - stdlib - {PACKAGE}
        inside = {known_module(target, modules) for target, _, local in imports if not local}
        # Importing a submodule imports its package first.
        inside.add(name.rpartition(".")[0])
        direct[name] = (outside, inside & set(modules))
    needs: dict[str, frozenset] = {}

    def visit(name: str, seen: set) -> set:
        if name in needs:
            return set(needs[name])
        if name in seen:
            return set()
        seen.add(name)
        outside, inside = direct[name]
        result = set(outside)
        for other in inside:
            result |= visit(other, seen)
        return result

    for name in modules:
        needs[name] = frozenset(visit(name, set()))
    return needs


def needless_inner_imports(modules: dict, found: dict) -> list[str]:
    needs = third_party_needs(modules, found)
    stdlib = set(sys.stdlib_module_names)
    problems = []
    for name, imports in found.items():
        for target, line, local in imports:
            if not local:
                continue
            top = target.split(".")[0]
            if top == PACKAGE:
                module = known_module(target, modules)
                if module in modules and module != name and needs[module] <= needs[name]:
                    problems.append(f"{modules[name].relative_to(ROOT.parent.parent)}:{line}: {name} imports "
                                    f"{module} inside a function, though it needs nothing {name} does not")
            elif top in stdlib:
                problems.append(f"{modules[name].relative_to(ROOT.parent.parent)}:{line}: {name} imports "
                                f"the standard module {target} inside a function")
    return problems


def oversized(modules: dict) -> list[str]:
    problems = []
    for name, path in modules.items():
        text = path.read_text()
        lines = text.count("\n")
        where = path.relative_to(ROOT.parent.parent)
        if lines > MAX_MODULE_LINES:
            problems.append(f"{where}: {lines} lines (at most {MAX_MODULE_LINES})")
        for node in ast.walk(ast.parse(text)):
            if isinstance(node, ast.ClassDef) and node.end_lineno - node.lineno + 1 > MAX_CLASS_LINES:
                problems.append(f"{where}:{node.lineno}: class {node.name} has "
                                f"{node.end_lineno - node.lineno + 1} lines (at most {MAX_CLASS_LINES})")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verbose", action="store_true", help="list every module, its layer and its inner imports")
    args = parser.parse_args()
    modules = {module_name(path): path for path in sorted(ROOT.rglob("*.py"))}
    found = {name: imported_names(path, name) for name, path in modules.items()}
    upward = 0
    for name, path in modules.items():
        layer = layer_of(name)
        imports = package_imports(found[name])
        if args.verbose:
            inner = [f"{target}:{line}" for target, line, local in imports if local]
            print(f"{layer:<9} {name}" + (f"  (inside functions: {', '.join(inner)})" if inner else ""))
        if layer == "package":
            continue
        for target, line, _ in imports:
            target = known_module(target, modules)
            to = layer_of(target)
            if to == "package":
                continue
            if LAYERS.index(to) > LAYERS.index(layer):
                upward += 1
                print(f"{path.relative_to(ROOT.parent.parent)}:{line}: {name} ({layer}) imports {target} ({to})")
    needless, too_large = needless_inner_imports(modules, found), oversized(modules)
    for problem in needless + too_large:
        print(problem)
    print(f"{len(modules)} modules, {upward} upward import(s), {len(needless)} needless import(s) inside "
          f"functions, {len(too_large)} module(s) or class(es) too large")
    return 1 if upward or needless or too_large else 0


if __name__ == "__main__":
    sys.exit(main())
