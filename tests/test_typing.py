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

from askweave import schemasift, turnlens

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


@pytest.mark.parametrize("name", MODULES)
def test_every_public_class_function_method_and_field_is_documented(name):
    module = MODULES[name]
    assert len(inspect.getdoc(module)) > 500
    for qualname, obj in public_runtime_api(module):
        owner = getattr(module, qualname.split(".")[0])
        if isinstance(obj, types.MemberDescriptorType) and obj.__doc__ is None:
            # a record field: documented in its class's Attributes section
            assert qualname.split(".")[1] in attributes_section(owner.__doc__), qualname
            continue
        doc = inspect.getdoc(obj)
        assert doc and len(doc) > 20, qualname
    for record in [getattr(module, n) for n in dir(module)]:
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
