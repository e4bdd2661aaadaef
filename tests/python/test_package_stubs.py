"""The package's type stubs describe its modules, name for name and argument
for argument."""
import ast
import importlib
import inspect
import pathlib

import pytest
import stub_signatures

PACKAGE = pathlib.Path(__file__).resolve().parents[2] / "package" / "quorvex"
STUBS = sorted(p.stem for p in PACKAGE.glob("*.pyi"))


def stub_api(name):
    """{qualified name: argument names or None for an attribute}."""
    api = {}

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.FunctionDef):
                a = node.args
                api[prefix + node.name] = [x.arg for x in a.posonlyargs + a.args + a.kwonlyargs]
            elif isinstance(node, ast.ClassDef):
                api[prefix + node.name] = None
                walk(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.AnnAssign) and prefix:
                api.setdefault(prefix[:-1] + ".__fields", []).append(node.target.id)

    walk(ast.parse((PACKAGE / f"{name}.pyi").read_text()).body, "")
    return api


def test_there_are_stubs_for_the_native_module_and_the_api():
    assert {"_native", "camera", "geometry", "errors"} <= set(STUBS)
    assert (PACKAGE / "py.typed").exists()


@pytest.mark.parametrize("name", STUBS)
def test_stub_matches_the_module(name):
    module = importlib.import_module(f"quorvex.{name}")
    api = stub_api(name)
    for qualified, args in api.items():
        if qualified.endswith(".__fields"):
            # Instance attributes: the dataclass's fields, or set by __init__.
            cls = getattr(module, qualified.split(".")[0])
            fields = getattr(cls, "__dataclass_fields__", None)
            if fields is not None:
                assert args == list(fields), qualified
            else:
                source = inspect.getsource(cls.__init__)
                assert all(f"self.{a} =" in source for a in args), qualified
            continue
        owner = module
        for part in qualified.split("."):
            owner = inspect.getattr_static(owner, part) if inspect.isclass(owner) else getattr(owner, part)
        if args is None:
            continue
        if isinstance(owner, property):
            owner = owner.fget
        try:
            runtime = list(inspect.signature(owner).parameters)
        except ValueError:  # a native function: pybind11's signature line
            line = owner.__doc__.splitlines()[0]
            inside = line[line.index("(") + 1:line.index(")")]
            runtime = [a.split(":")[0].strip() for a in inside.split(",")] if inside.strip() else []
        assert args == runtime, qualified
    # Nothing public is missing from the stub.
    public = {n for n, v in vars(module).items() if not n.startswith("_")
              and getattr(v, "__module__", module.__name__) == module.__name__ and callable(v)}
    assert public <= {q.split(".")[0] for q in api}, public - set(api)


def test_native_stub_matches_the_built_module():
    """Types, defaults and return types too: the native module is built
    beside its stub, so nothing but this test ties them together."""
    from quorvex import _native

    assert stub_signatures.compare(PACKAGE / "_native.pyi", _native) == []
