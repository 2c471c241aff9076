"""The stubs and the documentation describe the modules as they run.

The type checker's own comparison (stubtest) and mypy --strict run in
tools/typecheck.sh; these checks need only the interpreter.
"""
import ast
import inspect
import pathlib
import re
import types
import typing

import pytest

import askweave
from askweave import cli, schemasift, sql, turnlens

MODULES = {"schemasift": schemasift, "turnlens": turnlens}


def stub_tree(name):
    return ast.parse(pathlib.Path(MODULES[name].__file__).with_name(f"{name}.pyi").read_text(encoding="utf-8"))


def stub_docstrings(name):
    """(qualified name, docstring) of every documented class, function, method and property of a stub."""
    tree = stub_tree(name)
    found = [("", ast.get_docstring(tree))]

    def walk(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                doc = ast.get_docstring(node)
                if doc:
                    found.append((prefix + node.name, doc))
                if isinstance(node, ast.ClassDef):
                    walk(node.body, prefix + node.name + ".")
    walk(tree.body, "")
    return found


def runtime_object(module, qualname):
    obj = module
    for part in filter(None, qualname.split(".")):
        obj = inspect.getattr_static(obj, part) if isinstance(obj, type) else getattr(obj, part)
        if isinstance(obj, staticmethod):
            obj = obj.__func__
    return obj


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstrings_are_the_runtime_docstrings(name):
    compared = 0
    for qualname, doc in stub_docstrings(name):
        runtime = runtime_object(MODULES[name], qualname).__doc__
        assert runtime is not None, qualname
        assert inspect.cleandoc(runtime) == doc, qualname
        compared += 1
    assert compared > 20


def attributes_section(doc):
    """The names an "Attributes:" section documents."""
    section = doc.split("\nAttributes:\n", 1)[1].split("\n\n", 1)[0]
    return set(re.findall(r"^    (\w+):", section, flags=re.M))


def public_runtime_api(module):
    for name, obj in vars(module).items():
        if name.startswith("_") or not (isinstance(obj, type) or callable(obj)) or typing.get_origin(obj):
            continue
        yield name, obj
        if isinstance(obj, type):
            for member, value in vars(obj).items():
                if not member.startswith("_"):
                    yield f"{name}.{member}", value


DOCUMENTED = {"askweave": askweave, "schemasift": schemasift, "turnlens": turnlens, "sql": sql, "cli": cli}


def public_names(module):
    return getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]


def variable_docstrings(module):
    """Module-level names followed by a docstring in the stub (native) or the source (Python)."""
    path = pathlib.Path(module.__file__)
    tree = ast.parse((path.with_name(path.name.split(".")[0] + ".pyi") if path.suffix != ".py" else path)
                     .read_text(encoding="utf-8"))
    docs = {}
    for node, after in zip(tree.body, tree.body[1:]):
        target = node.target if isinstance(node, ast.AnnAssign) else \
            node.targets[0] if isinstance(node, ast.Assign) else None
        if isinstance(target, ast.Name) and isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant):
            docs[target.id] = after.value.value
    return docs


def has_defaults(obj):
    if isinstance(obj, type) and obj.__text_signature__ is None:
        obj = obj.__init__
    try:
        parameters = inspect.signature(obj).parameters.values()
    except (TypeError, ValueError):
        return False
    return any(p.default is not inspect.Parameter.empty for p in parameters)


def test_every_public_name_class_method_and_field_is_documented():
    checked = 0
    for label, module in DOCUMENTED.items():
        assert len(inspect.getdoc(module)) > 200, label
        constants = variable_docstrings(module)
        for name in public_names(module):
            obj = getattr(module, name)
            if typing.get_origin(obj) or not (isinstance(obj, type) or callable(obj)):
                # constants and type labels: documented where they are declared
                assert constants.get(name, "").strip(), f"{label}.{name}"
                continue
            members = [(name, obj)]
            if isinstance(obj, type):
                members += [(f"{name}.{m}", v) for m, v in vars(obj).items() if not m.startswith("_")]
            for qualname, member in members:
                member = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
                doc = inspect.getdoc(member) or ""
                assert len(doc) > 20, f"{label}.{qualname}"
                if isinstance(member, types.MemberDescriptorType) and qualname.split(".")[1] in getattr(
                        obj, "__match_args__", ()):
                    # a record field says what it defaults to
                    assert "Default" in doc or "Required" in doc, f"{label}.{qualname}: {doc!r}"
                elif callable(member) and has_defaults(member):
                    assert "\n" in doc, f"{label}.{qualname}: its defaults are not described"
                checked += 1
        if hasattr(module, "__all__"):
            # what the module defines for its users is listed (cli's command handlers are its own)
            unlisted = {n for n, v in vars(module).items() if not n.startswith("_") and inspect.isfunction(v)
                        and v.__module__ == module.__name__} - set(module.__all__)
            assert all(n.startswith("cmd_") for n in unlisted), (label, unlisted)
    assert checked > 250
    for record in [getattr(m, n) for m in MODULES.values() for n in dir(m)]:
        fields = getattr(record, "__match_args__", None)
        if isinstance(record, type) and fields:
            assert set(fields) <= attributes_section(record.__doc__), record
    # settings say what they default to
    for config in (schemasift.SelectorConfig, turnlens.ResolverConfig):
        entries = re.split(r"\n    (?=\w+:)", config.__doc__.split("\nAttributes:\n", 1)[1])
        assert len(entries) == len(config.__match_args__)
        assert all("Default " in e for e in entries), config


LITERALS = {"schemasift": ["ColumnRole", "Strategy"],
            "turnlens": ["ContextType", "OperationType", "TaskType", "ArtifactType"]}


@pytest.mark.parametrize("name", MODULES)
def test_literal_type_labels_of_the_stubs_are_the_runtime_ones(name):
    # stubtest reads a several-valued Literal as a union and cannot compare it
    # with the runtime object (see tools/stubtest_allowlist.txt); this does.
    declared = {}
    for node in stub_tree(name).body:
        if (isinstance(node, ast.Assign) and isinstance(node.value, ast.Subscript)
                and getattr(node.value.value, "id", "") == "Literal"):
            values = node.value.slice
            declared[node.targets[0].id] = tuple(ast.literal_eval(e) for e in values.elts)
    for label in LITERALS[name]:
        runtime = getattr(MODULES[name], label)
        assert typing.get_origin(runtime) is typing.Literal
        assert typing.get_args(runtime) == declared[label], label


def test_routes_and_the_stub_route_type_agree():
    route = next(n for n in stub_tree("turnlens").body
                 if isinstance(n, ast.AnnAssign) and getattr(n.target, "id", "") == "_Route")
    routes = {ast.literal_eval(e) for e in route.value.slice.elts}
    assert routes == {"generate", "clarify", "suggest"}
    # every route the rules produce is one of them
    card = turnlens.TurnContextCard(turn_id=1, user_question="Show total revenue by region")
    seen = {turnlens.resolve_context(m, c).route
            for m in ("   ", "what else we get?", "Show revenue by region", "make it category based")
            for c in ([], [card])}
    assert seen == routes


@pytest.mark.parametrize("name", MODULES)
def test_public_callables_have_real_signatures(name):
    # the text-signature convention: help() and inspect show the parameters
    module = MODULES[name]
    for qualname, obj in public_runtime_api(module):
        if isinstance(obj, type) and obj.__text_signature__ is None:
            obj = obj.__init__  # a class made at run time keeps its signature on __init__
        if isinstance(obj, type) or callable(obj) and not isinstance(obj, types.MemberDescriptorType):
            inspect.signature(obj)
