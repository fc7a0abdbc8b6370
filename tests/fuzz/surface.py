"""The module's surface, discovered at run time, with call shapes from the type stubs.

Every public callable of the module is found by introspection: module functions, types, and for
each type its methods, getters and setters. The stubs (`_sonolith.pyi`, installed beside the
module, or `src/_sonolith.pyi` in the source tree) are parsed with `ast` for parameter names,
kinds, defaults and annotations; an entry point the stubs do not describe is still called, with
its arity and argument kinds learned by probing (see `harness.learn_shape`).
"""

from __future__ import annotations

import ast
import os
import pathlib
import types
from dataclasses import dataclass, field

ROOT = pathlib.Path(__file__).resolve().parents[2]


@dataclass
class Param:
    name: str
    kind: str  # "pos" (positional-only), "either", "kw" (keyword-only), "star", "starstar"
    annotation: str  # source text of the annotation, "" when absent
    has_default: bool
    default: object = None

    @property
    def tags(self) -> set[str]:
        return annotation_tags(self.annotation, self.name)


@dataclass
class Signature:
    params: list[Param]
    returns: str = ""

    @property
    def required(self) -> list[Param]:
        return [p for p in self.params if p.kind in ("pos", "either") and not p.has_default]

    @property
    def positional(self) -> list[Param]:
        return [p for p in self.params if p.kind in ("pos", "either")]

    @property
    def keyword(self) -> list[Param]:
        return [p for p in self.params if p.kind in ("either", "kw")]


@dataclass
class Attribute:
    name: str
    annotation: str
    writable: bool


@dataclass
class TypeStub:
    methods: dict[str, Signature] = field(default_factory=dict)
    attributes: dict[str, Attribute] = field(default_factory=dict)


@dataclass
class Stubs:
    functions: dict[str, Signature] = field(default_factory=dict)
    types: dict[str, TypeStub] = field(default_factory=dict)


def annotation_tags(text: str, name: str = "") -> set[str]:
    """Coarse kinds that an annotation (and, failing that, a parameter name) asks for."""
    tags = set()
    words = text.replace("[", " ").replace("]", " ").replace("|", " ").replace(",", " ").replace(".", " ").split()
    for w in words:
        if w in ("Buffer", "bytes", "bytearray", "memoryview", "ReadableBuffer", "WriteableBuffer"):
            tags.add("buffer")
        elif w in ("int", "SupportsIndex"):
            tags.add("int")
        elif w in ("float", "SupportsFloat"):
            tags.add("float")
        elif w == "bool":
            tags.add("bool")
        elif w == "None":
            tags.add("none")
        elif w == "str":
            tags.add("str")
        elif w in ("Sequence", "list", "tuple", "Iterable"):
            tags.add("sequence")
        elif "IO" in w or "File" in w or "Readable" in w or "Reader" in w or w in ("SupportsRead",):
            tags.add("file")
    lowered = name.lower()
    if not tags - {"none"}:
        if lowered in ("file", "fileobj", "source_file", "stream"):
            tags.add("file")
        elif any(k in lowered for k in ("buffer", "block", "data", "input", "samples", "voice", "dest", "src", "source")):
            tags.add("buffer")
        elif lowered:
            tags.add("any")
    if not text and not lowered:
        tags.add("any")
    return tags


def _literal(node):
    try:
        return True, ast.literal_eval(node)
    except Exception:
        return True, None


def _signature(fn: ast.FunctionDef, is_method: bool) -> Signature:
    a = fn.args
    params: list[Param] = []
    positional = [(arg, "pos") for arg in a.posonlyargs] + [(arg, "either") for arg in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for (arg, kind), default in zip(positional, defaults):
        text = ast.unparse(arg.annotation) if arg.annotation is not None else ""
        if default is None:
            params.append(Param(arg.arg, kind, text, False))
        else:
            params.append(Param(arg.arg, kind, text, *_literal(default)))
    if a.vararg is not None:
        params.append(Param(a.vararg.arg, "star", ast.unparse(a.vararg.annotation) if a.vararg.annotation else "", True))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        text = ast.unparse(arg.annotation) if arg.annotation is not None else ""
        if default is None:
            params.append(Param(arg.arg, "kw", text, False))
        else:
            params.append(Param(arg.arg, "kw", text, *_literal(default)))
    if a.kwarg is not None:
        params.append(Param(a.kwarg.arg, "starstar", "", True))
    if is_method and params and params[0].name in ("self", "cls"):
        params = params[1:]
    returns = ast.unparse(fn.returns) if fn.returns is not None else ""
    return Signature(params, returns)


def _decorators(fn: ast.FunctionDef) -> list[str]:
    return [ast.unparse(d) for d in fn.decorator_list]


def parse_stubs(source: str) -> Stubs:
    stubs = Stubs()
    tree = ast.parse(source)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stubs.functions[node.name] = _signature(node, False)
        elif isinstance(node, ast.ClassDef):
            ts = TypeStub()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    decos = _decorators(item)
                    if "property" in decos:
                        ret = ast.unparse(item.returns) if item.returns is not None else ""
                        ts.attributes[item.name] = Attribute(item.name, ret, False)
                    elif any(d.endswith(".setter") for d in decos):
                        if item.name in ts.attributes:
                            ts.attributes[item.name].writable = True
                    else:
                        ts.methods[item.name] = _signature(item, True)
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    ts.attributes[item.target.id] = Attribute(item.target.id, ast.unparse(item.annotation), True)
            stubs.types[node.name] = ts
    return stubs


def find_stub_file(module) -> pathlib.Path | None:
    candidates = []
    if getattr(module, "__file__", None):
        candidates.append(pathlib.Path(module.__file__).with_name("_sonolith.pyi"))
    candidates.append(ROOT / "src" / "_sonolith.pyi")
    for c in candidates:
        if c.is_file():
            return c
    return None


def load_stubs(module) -> Stubs:
    path = find_stub_file(module)
    if path is None:
        return Stubs()
    try:
        return parse_stubs(path.read_text())
    except SyntaxError:
        return Stubs()


# ---------------------------------------------------------------------------------------------
# Introspection

@dataclass
class TypeSurface:
    name: str
    type: type
    methods: list[str]
    getters: list[str]
    setters: list[str]
    has_init: bool


@dataclass
class Surface:
    functions: dict[str, object]
    types: dict[str, TypeSurface]


def discover(module) -> Surface:
    functions = {}
    type_surfaces = {}
    for name in sorted(dir(module)):
        obj = getattr(module, name)
        if isinstance(obj, types.BuiltinFunctionType) and not name.startswith("__"):
            functions[name] = obj
        elif isinstance(obj, type):
            methods, getters, setters = [], [], []
            for attr, value in vars(obj).items():
                if isinstance(value, types.MethodDescriptorType) or (
                        isinstance(value, types.BuiltinFunctionType) and attr != "__new__"):
                    methods.append(attr)
                elif isinstance(value, types.GetSetDescriptorType):
                    getters.append(attr)
                    setters.append(attr)  # whether a setter exists is learned by trying
                elif isinstance(value, types.MemberDescriptorType):
                    getters.append(attr)
                    setters.append(attr)
            has_init = isinstance(vars(obj).get("__init__"), types.WrapperDescriptorType)
            type_surfaces[name] = TypeSurface(name, obj, sorted(methods), sorted(getters), sorted(setters), has_init)
    return Surface(functions, type_surfaces)


def is_sanitized() -> bool:
    return bool(os.environ.get("SONOLITH_SANITIZED"))
