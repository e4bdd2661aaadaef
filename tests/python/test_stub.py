"""The installed type stub must describe the built module, name for name."""
import ast
import pathlib
import re

import QuorvexDepthCamera as q

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "QuorvexDepthCamera.pyi"


def stub_classes():
    tree = ast.parse(STUB.read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = [a.arg for a in item.args.args]
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = None
            classes[node.name] = members
    return classes


def runtime_arguments(function):
    """Argument names from pybind11's signature line(s) of a method."""
    names = set()
    for line in (function.__doc__ or "").splitlines():
        m = re.match(r"^(?:\d+\. )?\w+\((.*)\) ->", line)
        if m:
            args = [a.split(":")[0].strip() for a in re.split(r",\s*(?![^\[]*\])", m.group(1)) if a]
            names.add(tuple(args))
    return names


def test_stub_names_every_public_class_in_order():
    public = [n for n in vars(q) if not n.startswith("_")]
    assert list(stub_classes()) == public


def test_stub_matches_members_methods_and_argument_names():
    for name, members in stub_classes().items():
        cls = getattr(q, name)
        if hasattr(cls, "__members__"):
            stub_members = [m for m, sig in members.items() if sig is None and m != "__members__"]
            assert stub_members == list(cls.__members__), name
            continue
        runtime = {n for n, v in vars(cls).items() if not n.startswith("_")}
        assert set(m for m in members if not m.startswith("_")) == runtime, name
        for method, args in members.items():
            if args is None or method.startswith("_"):
                continue
            assert tuple(args) in runtime_arguments(getattr(cls, method)), f"{name}.{method}"
