"""A hand-written type stub against the built pybind11 module it describes:
every class (and its bases), method, property, field, enum member (name,
order and value), function and signature (argument names, types and
defaults, return type). Returns the disagreements as text, one a line.

pybind11 writes a signature line at the head of each docstring,
`name(self: Mod.Cls, arg: int = 0) -> Mod.Other`, and numbered lines for
overloads. A stub may name a type more precisely than that line does, never
differently: see `fits`.
"""
import ast
import re

_SIGNATURE = re.compile(r"^(?:\d+\. )?(\w*)\((.*)\) -> (.+)$")
# Lines the binding's type names carry that a stub spells its own way.
_SPELLINGS = [
    (re.compile(r"\b(?:typing|QuorvexDepthCamera|quorvex\._native)\."), ""),
    (re.compile(r"\bnp\."), "numpy."),
    (re.compile(r"\bnpt\.NDArray\["), "numpy.ndarray["),
    (re.compile(r"\bTuple\["), "tuple["),
    (re.compile(r"\bDict\["), "dict["),
    (re.compile(r"\bList\["), "list["),
    (re.compile(r"\s+"), ""),
]
_NDARRAY = re.compile(r"numpy\.ndarray\[Any,numpy\.dtype\[([\w.]+)\]\]")


def canonical(text):
    for pattern, replacement in _SPELLINGS:
        text = pattern.sub(replacement, text)
    return _NDARRAY.sub(r"numpy.ndarray[\1]", text)


def fits(stub, runtime, classes):
    """Whether the stub's type (canonical) may stand for the binding's.
    `classes` maps each class name to the names of it and its bases."""
    if stub == runtime or runtime == "object":
        return True
    # Classes derived from the one the binding takes or returns.
    union = re.fullmatch(r"Union\[([\w,]+)\]", stub)
    if union and all(runtime in classes.get(c, ()) for c in union.group(1).split(",")):
        return True
    # Containers the binding names bare; the stub says what is inside.
    if runtime in ("tuple", "dict", "list", "numpy.ndarray") and stub.startswith(runtime + "["):
        return True
    # A buffer argument: bytes is what the programs pass.
    if runtime == "Buffer" and stub in ("bytes", "Union[bytes,bytearray,memoryview]"):
        return True
    # A bound pointer returns None for null, and takes None for it.
    return runtime in classes and stub == f"Optional[{runtime}]"


def _split(text):
    """Splits at the commas outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def runtime_signatures(obj):
    """[(args [(name, type, default or None)], return type)] of each overload."""
    signatures = []
    lines = (getattr(obj, "__doc__", None) or "").splitlines()
    # The first line, or for overloads the numbered ones; the text after
    # them is the binding's own prose.
    if lines and lines[0].endswith("(*args, **kwargs)"):
        lines = [line for line in lines if re.match(r"^\d+\. ", line)]
    for line in lines[:1] if lines and not re.match(r"^\d+\. ", lines[0]) else lines:
        m = _SIGNATURE.match(line.strip())
        if not m:
            continue
        args = []
        for part in _split(m.group(2)):
            name, _, rest = part.partition(":")
            kind, _, default = rest.partition("=")
            args.append((name.strip(), canonical(kind), default.strip() or None))
        signatures.append((args, canonical(m.group(3))))
    return signatures


def _stub_args(node, method):
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    args = [(x.arg, canonical(ast.unparse(x.annotation)) if x.annotation else None,
             ast.unparse(d) if d is not None else None) for x, d in zip(positional, defaults)]
    return (args[1:] if method else args), canonical(ast.unparse(node.returns)) if node.returns else None


def _compare_callable(where, node, obj, method, classes, problems, widened):
    stub_args, stub_return = _stub_args(node, method)
    overloads = runtime_signatures(obj)
    if not overloads:
        problems.append(f"{where}: the binding gives no signature")
        return
    reasons = []
    for runtime_args, runtime_return in overloads:
        if method:
            runtime_args = runtime_args[1:]
        reason = None
        if [a[0] for a in stub_args] != [a[0] for a in runtime_args]:
            reason = f"arguments {[a[0] for a in stub_args]} != {[a[0] for a in runtime_args]}"
        else:
            for (name, kind, default), (_, rkind, rdefault) in zip(stub_args, runtime_args):
                if (where, name) in widened:
                    # The binding's converter takes more than its signature
                    # line names: the stub names what it takes.
                    widened[(where, name)][1] = True
                    if kind != canonical(widened[(where, name)][0]):
                        reason = f"argument {name}: {kind} for {widened[(where, name)][0]}"
                elif kind is None or not fits(kind, rkind, classes):
                    reason = f"argument {name}: {kind} for {rkind}"
                elif (default is None) != (rdefault is None) or default not in (None, "...", rdefault):
                    reason = f"argument {name}: default {default} for {rdefault}"
                if reason:
                    break
        if reason is None and (stub_return is None or not fits(stub_return, runtime_return, classes)):
            reason = f"returns {stub_return} for {runtime_return}"
        if reason is None:
            return
        reasons.append(reason)
    problems.append(f"{where}: " + "; ".join(reasons))


def _enum_values(source, node):
    """{member: value} from the stub's `X: ClassVar[E]  # value = N` lines."""
    lines = source.splitlines()
    values = {}
    for item in node.body:
        if isinstance(item, ast.AnnAssign) and "ClassVar" in ast.unparse(item.annotation):
            m = re.search(r"#\s*value\s*=\s*(-?\d+)", lines[item.lineno - 1])
            if m:
                values[item.target.id] = int(m.group(1))
    return values


def _compare_class(node, cls, source, classes, problems, widened):
    name = node.name
    bases = [ast.unparse(b).split(".")[-1] for b in node.bases]
    runtime_bases = [b.__name__ for b in cls.__bases__ if b.__name__ != "pybind11_object"]
    if bases != runtime_bases:
        problems.append(f"{name}: bases {bases} != {runtime_bases}")
    members = getattr(cls, "__members__", None)
    if members is not None:
        values = _enum_values(source, node)
        if list(values) != list(members):
            problems.append(f"{name}: members {list(values)} != {list(members)}")
        for member, value in values.items():
            if member in members and int(members[member]) != value:
                problems.append(f"{name}.{member}: value {value} != {int(members[member])}")
    stub_names = set()
    for item in node.body:
        where = f"{name}.{getattr(item, 'name', None) or getattr(getattr(item, 'target', None), 'id', '')}"
        if isinstance(item, ast.FunctionDef):
            stub_names.add(item.name)
            runtime = vars(cls).get(item.name)
            decorators = [ast.unparse(d) for d in item.decorator_list]
            if runtime is None:
                problems.append(f"{where}: not in the module")
            elif "property" in decorators:
                if not isinstance(runtime, property):
                    problems.append(f"{where}: not a property in the module")
                elif item.name not in ("name", "__members__") and members is None:
                    _compare_callable(where, item, runtime.fget, True, classes, problems, widened)
            elif isinstance(runtime, property):
                problems.append(f"{where}: a property in the module")
            else:
                _compare_callable(where, item, runtime, True, classes, problems, widened)
        elif isinstance(item, ast.AnnAssign) and "ClassVar" not in ast.unparse(item.annotation):
            # A field: read and written as an attribute.
            stub_names.add(item.target.id)
            runtime = vars(cls).get(item.target.id)
            if not isinstance(runtime, property) or runtime.fset is None:
                problems.append(f"{where}: not a writable field in the module")
                continue
            kind = runtime_signatures(runtime.fget)[0][1]
            if not fits(canonical(ast.unparse(item.annotation)), kind, classes):
                problems.append(f"{where}: {ast.unparse(item.annotation)} for {kind}")
    if members is None:
        # Everything the binding adds, and nothing more, is in the stub.
        runtime_names = {n for n, v in vars(cls).items()
                         if (not n.startswith("_") or n == "__init__") and runtime_signatures(v if not isinstance(v, property) else v.fget)}
        if runtime_names != stub_names:
            problems.append(f"{name}: members {sorted(stub_names)} != {sorted(runtime_names)}")


def compare(stub_path, module, widened=None):
    """Disagreements between the stub at `stub_path` and `module`.
    `widened` maps ('Class.method' or 'function', argument) to the type the
    stub names for an argument that the binding's converter takes more
    widely than its signature line says."""
    widened = {key: [kind, False] for key, kind in (widened or {}).items()}
    source = stub_path.read_text()
    tree = ast.parse(source)
    classes = {}
    for imported in (n for n in tree.body if isinstance(n, ast.ImportFrom)):
        source_module = __import__(imported.module, fromlist=["_"])
        classes.update({a.name: getattr(source_module, a.name) for a in imported.names})
    classes.update({n: v for n, v in vars(module).items() if isinstance(v, type)})
    classes = {n: {c.__name__ for c in v.__mro__} for n, v in classes.items() if isinstance(v, type)}
    problems = []
    stub_names = set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            stub_names.add(node.name)
            cls = getattr(module, node.name, None)
            if not isinstance(cls, type):
                problems.append(f"{node.name}: no such class in the module")
            else:
                _compare_class(node, cls, source, classes, problems, widened)
        elif isinstance(node, ast.FunctionDef):
            stub_names.add(node.name)
            function = getattr(module, node.name, None)
            if function is None:
                problems.append(f"{node.name}: no such function in the module")
            else:
                _compare_callable(node.name, node, function, False, classes, problems, widened)
        elif isinstance(node, ast.AnnAssign):
            stub_names.add(node.target.id)
            kind = ast.unparse(node.annotation)
            value = getattr(module, node.target.id, None)
            if type(value).__name__ != kind:
                problems.append(f"{node.target.id}: {kind} for {type(value).__name__}")
    public = {n for n in vars(module) if not n.startswith("_")}
    if public - stub_names:
        problems.append(f"not in the stub: {sorted(public - stub_names)}")
    for (where, argument), (_, seen) in widened.items():
        if not seen:
            problems.append(f"{where}: no argument {argument} to widen")
    return problems
