"""The package's own objects, damaged, half built or holding hostile values, in every
call and stage that reads them: an exception or a normal result, never a crash.

The calls are found by introspection: every class of both modules with every method
its type defines, every record with every field. A method without realistic
arguments below fails the completeness check, so the groups grow with the API."""
import inspect
import copy
import pickle

import pytest

import askweave.schemasift as ss
import askweave.turnlens as tl
from askweave.demos.schemasift import demo_catalog
from askweave.demos.turnlens import demo_card

MODULES = {"schemasift": ss, "turnlens": tl}
Q = "Show total revenue by region for last 6 months top 5"
MESSAGES = ["make it monthly", "turn 2 top 3 by bank", "what else we get?", "that one", "sql_1 only north region",
            "Show failed payment count by bank", "zz"]
GOOD = {"context_type": "follow_up_latest", "base_turn_id": 1, "resolved_question": "Show monthly revenue"}
STATE = {"active_tables": ["sales_orders"], "active_columns": ["revenue", "region"], "metrics": ["revenue"],
         "group_by": ["region"], "filters": [{"column": "amount", "operation": ">", "value": 5}, "status = failed"],
         "aggregation": {"function": "sum", "column": "revenue"}, "granularity": "day", "limit": 5,
         "required_columns": {"sales_orders": ["revenue"]}}


def classes(mod):
    found = {n: o for n, o in vars(mod).items() if isinstance(o, type) and o.__module__ == mod.__name__}
    if mod is tl:
        found["_NativePattern"] = type(tl._native_pattern("a"))
    return found


def records(mod):
    return {n: c for n, c in classes(mod).items() if hasattr(c, "__match_args__")}


def methods(cls):
    return sorted(n for n in vars(cls) if not n.startswith("__") and n not in getattr(cls, "__match_args__", ())
                  and n not in ("config", "llm_fallback") and not inspect.isdatadescriptor(vars(cls)[n]))


def outcome(fn):
    """Runs fn: a result or an ordinary exception are fine. An exception the
    interpreter raises for a broken native contract is not."""
    try:
        fn()
    except SystemError:
        raise
    except Exception:  # noqa: BLE001 - any ordinary error is an allowed outcome, a crash is not
        pass


# ------------------------------------------------------------ pristine objects

def _pristine():
    raw = demo_catalog()
    raw["relationships"].append({"from_table": "customers", "from_column": "customer_id", "to_table": "sales_orders",
                                 "to_column": "order_id", "relationship_type": "one_to_many", "description": "d"})
    config = ss.SelectorConfig(strategy="lexical", include_sample_values=True, max_output_chars=100_000)
    sift = ss.SchemaSift(config)
    catalog = ss.CatalogNormalizer.normalize(raw)
    catalog.tables[0].columns[3].sample_values = [1.5, "x", None]
    catalog.tables[0].row_count = 1000
    catalog.extra = {"owner": "finance"}
    intent = sift.intent_parser.parse(Q)
    scored = sift._score_tables(question=Q, catalog=catalog, intent=intent, tfidf_scores={}, embedding_scores={},
                                required_tables=set())
    for st in scored:
        st.columns = sift._score_and_choose_columns(question=Q, table=st.table, intent=intent, tfidf_scores={},
                                                    embedding_scores={}, required_columns=set(),
                                                    excluded_columns=set())
    result = sift.select(Q, catalog, required_tables=["customers"])
    schemasift = dict(config=config, catalog=catalog, intent=intent, scored=scored, result=result, loose=raw,
                      metrics=result.metrics, table=catalog.tables[0], column=catalog.tables[0].columns[3],
                      rel=catalog.relationships[0], scored_table=scored[0], scored_column=scored[0].columns[0],
                      scored_columns=scored[0].columns, selected=result.selected_metadata)
    rconfig = tl.ResolverConfig(use_llm_fallback=True, llm_fallback_confidence_ceiling=2.0)
    cards = [demo_card()] + [
        tl.TurnContextCard(i, "s", "t", f"Show revenue by region {i}", f"Show revenue by region {i}", "summary",
                           "text_to_sql", "sql", f"sql_{i}", f"chart #{i}", ["sales", "revenue"], ["region"],
                           ["table:sales_orders"], copy.deepcopy(STATE), {"topics": ["sales"]}, {"x_axis": "region"},
                           "SELECT 1", {"k": [1]}, "excerpt", 1000 * i, 0.9, i != 3, {"e": 1}) for i in (1, 2, 3)]
    lens = tl.TurnLens(rconfig)
    resolution = lens.resolve("make it monthly top 3 by bank", cards)
    turnlens = dict(config=rconfig, cards=cards, resolution=resolution, delta=resolution.intent_delta,
                    candidates=resolution.candidates, card=cards[1], candidate=resolution.candidates[0],
                    second=resolution.candidates[1])
    return {"schemasift": schemasift, "turnlens": turnlens}


PRISTINE = _pristine()
DOCS = ss.SchemaSift()._build_doc_texts(PRISTINE["schemasift"]["catalog"])


# ------------------------------------------------------------------- worlds

class World:
    """Fresh copies of the pristine objects of one module. Every record passes
    through hook(record) as it is rebuilt; wreck() empties and drops all of it."""

    def __init__(self, name, hook=None, target=None, callback=None):
        self.hook, self.target, self.name = hook, target, name
        self.busy = self.wrecked = self.touched = False
        p = {k: self.rebuild(v) for k, v in PRISTINE[name].items()}
        self.__dict__.update(p)
        if name == "schemasift":
            self.docs = dict(DOCS)
            self.sift = ss.SchemaSift(self.config)
        else:
            self.lens = tl.TurnLens(self.config, callback or (lambda q, s, p: dict(GOOD) if q == "zz" else None))
        self.keys = list(p)

    @property
    def roots(self):
        return [getattr(self, k) for k in self.keys] + [self.sift if self.name == "schemasift" else self.lens]

    def rebuild(self, value):
        if hasattr(type(value), "__match_args__"):
            out = type(value)(*[self.rebuild(getattr(value, f)) for f in type(value).__match_args__])
            return self.hook(out) if self.hook and type(out) is self.target else out
        if isinstance(value, list):
            return [self.rebuild(v) for v in value]
        if isinstance(value, dict):
            return {k: self.rebuild(v) for k, v in value.items()}
        return value

    def wreck(self, drop):
        """Empties every container the world holds; with drop, also deletes every
        field of every record and the resolvers' settings."""
        if self.busy:
            return
        self.wrecked = self.busy = True
        seen, stack, found = set(), list(self.roots), []
        while stack:
            o = stack.pop()
            if id(o) in seen:
                continue
            seen.add(id(o))
            found.append(o)
            if isinstance(o, list):
                stack.extend(list.copy(o))
            elif isinstance(o, dict):
                stack.extend(dict.values(o))
            elif hasattr(type(o), "__match_args__") or isinstance(o, (ss.SchemaSift, tl.TurnLens)):
                for f in getattr(type(o), "__match_args__", ("config",)):
                    try:
                        stack.append(object.__getattribute__(o, f))
                    except AttributeError:
                        pass
        for o in found:
            if isinstance(o, (list, dict)):
                (list if isinstance(o, list) else dict).clear(o)
            elif drop:
                for f in getattr(type(o), "__match_args__", ("config", "intent_parser", "llm_fallback")):
                    try:
                        delattr(o, f)
                    except Exception:  # noqa: BLE001 - already gone or not deletable
                        pass
        self.busy = False


# ------------------------------------------------- realistic calls per method

def _kw(**kw):
    return ((), kw)


def _a(*args, **kw):
    return (args, kw)


SS_ARGS = {
    "ColumnMeta.searchable_text": [lambda w: _a(), lambda w: _a("sales_orders", "Sales Orders")],
    "TableMeta.searchable_text": [lambda w: _a()],
    "RelationshipMeta.involves": [lambda w: _a(["sales_orders", "customers"]), lambda w: _a({"customers"})],
    "RelationshipMeta.touches": [lambda w: _a(["sales_orders"]), lambda w: _a(("x", "customers"))],
    "MetadataCatalog.to_prompt_dict": [lambda w: _a()],
    "CatalogNormalizer.normalize": [lambda w: _a(w.loose), lambda w: _a(w.loose, "shop")],
    "CatalogNormalizer._infer_role": [lambda w, i=i: _a(w.loose["tables"][0]["columns"][i]) for i in range(5)],
    "CatalogNormalizer._normalize_relationships": [lambda w: _a(w.loose)],
    "IntentParser.parse": [lambda w: _a(Q)],
    "SelectionMetrics.summary": [lambda w: _a()],
    "MetadataSelectionResult.to_dict": [lambda w: _a(), lambda w: _a(True)],
    "OptionalTfidfBackend.build": [lambda w: _a(w.docs)],
    "OptionalTfidfBackend.score": [lambda w: _a(Q)],
    "OptionalEmbeddingBackend.build": [lambda w: _a(w.docs)],
    "OptionalEmbeddingBackend.score": [lambda w: _a(Q)],
    "SchemaSift.select": [lambda w: _a(Q, w.catalog), lambda w: _a(Q, w.loose),
                          lambda w: _a(Q, w.catalog, database="db", required_tables=["customers"],
                                       required_columns={"sales_orders": ["region"]}, excluded_tables=["x"],
                                       excluded_columns={"customers": ["age_group"]})],
    "SchemaSift._build_doc_texts": [lambda w: _a(w.catalog)],
    "CatalogIndex": [lambda w: _a(w.catalog), lambda w: _a(w.loose, database="db")],
    "CatalogIndex.select": [lambda w: _a(Q), lambda w: _a(Q, required_tables=["customers"],
                                                           required_columns={"sales_orders": ["region"]},
                                                           excluded_tables=["customers"])],
    "CatalogIndex.select_many": [lambda w: _a([Q, "customers by region"], threads=2)],
    "SchemaSift._get_tfidf_scores": [lambda w: _a(Q, w.docs)],
    "SchemaSift._get_embedding_scores": [lambda w: _a(Q, w.docs)],
    "SchemaSift._blend_scores": [lambda w: _a(0.5, 0.2, 0.1)],
    "SchemaSift._token_overlap_score": [lambda w: _a({"revenue", "region"}, {"revenue"}, 1.5, [], "name")],
    "SchemaSift._normalize_lexical": [lambda w: _a(3.0)],
    "SchemaSift._lexical_score_table": [lambda w: _a(Q, w.table, w.intent)],
    "SchemaSift._lexical_score_column": [lambda w: _a(Q, w.table, w.column, w.intent),
                                         lambda w: _a(Q, w.table, w.table.columns[0], w.intent)],
    "SchemaSift._score_tables": [
        lambda w: _kw(question=Q, catalog=w.catalog, intent=w.intent, tfidf_scores={}, embedding_scores={},
                      required_tables=set()),
        lambda w: _kw(question=Q, catalog=w.catalog, intent=w.intent, required_tables={"customers"},
                      tfidf_scores={"table::sales_orders": 0.5, "column::sales_orders.revenue": 0.25},
                      embedding_scores={"table::customers": 0.5})],
    "SchemaSift._choose_tables": [lambda w: _a(w.scored, set()), lambda w: _a(w.scored, {"customers"})],
    "SchemaSift._score_and_choose_columns": [
        lambda w: _kw(question=Q, table=w.table, intent=w.intent, tfidf_scores={}, embedding_scores={},
                      required_columns={"region"}, excluded_columns={"order_id"})],
    "SchemaSift._ensure_intent_columns": [lambda w: _a(w.table, w.scored_columns, w.scored_columns[:1], w.intent)],
    "SchemaSift._select_relationships": [lambda w: _a(w.catalog, w.scored)],
    "SchemaSift._build_selected_metadata": [lambda w: _a(w.catalog, w.scored, [w.rel])],
    "SchemaSift._apply_output_budget": [lambda w: _a(w.selected)],
    "SchemaSift._reduction_percent": [lambda w: _a(100, 25)],
    "select_metadata": [lambda w: _a(Q, w.catalog, strategy="lexical"), lambda w: _a(Q, w.loose, strategy="lexical")],
}
TL_ARGS = {
    "TurnContextCard." + m: [lambda w: _a()] for m in ("searchable_text", "tokens", "active_tables",
                                                      "active_columns", "required_columns_by_table")}
TL_ARGS.update({
    "TurnContextCard.to_resolver_summary": [lambda w: _a(), lambda w: _a(40)],
    "TurnContextCard._compact_state": [lambda w: _a(w.card.query_state)],
    "ContextCandidate.to_dict": [lambda w: _a()],
    "ContextResolution.to_dict": [lambda w: _a(), lambda w: _a(False)],
    "_NativePattern.search": [lambda w: _a("top 5 by region", 2)],
    "_NativePattern.finditer": [lambda w: _a("top 5 by region")],
    "_NativePattern.sub": [lambda w: _a("-", "top 5 by region", 1)],
    "TurnLens.resolve": [lambda w, m=m: _a(m, w.cards, active_turn_id=1, preferred_task_type="text_to_sql")
                         for m in MESSAGES] + [lambda w: _a("make it weekly", w.cards)],
    "TurnLens._normalize_cards": [lambda w: _a(w.cards + [{"turn_id": 9, "user_question": "q"}])],
    "TurnLens._recent_cards": [lambda w: _a(w.cards)],
    "TurnLens._latest_active_turn_id": [lambda w: _a(w.cards)],
    "TurnLens._limit_query_terms": [lambda w: _a("revenue by region " * 30)],
    "TurnLens._fresh": [lambda w: _a("show revenue", candidates=w.candidates, reason="r")],
    "TurnLens._clarify": [lambda w: _a("that one", w.candidates, "r", "Which one?")],
    "TurnLens._detect_explicit_turn_reference": [lambda w: _a("turn 2 again")],
    "TurnLens._detect_artifact_reference": [lambda w: _a("sql_1 by bank")],
    "TurnLens._artifact_matches": [lambda w: _a("sql_1", w.card), lambda w: _a("chart #2", w.cards[2])],
    "TurnLens._is_suggestion_request": [lambda w: _a("what else we get?")],
    "TurnLens._has_followup_signal": [lambda w: _a("make it monthly")],
    "TurnLens._has_pronoun_followup": [lambda w: _a("that one")],
    "TurnLens._has_modify_signal": [lambda w: _a("make it monthly", w.delta)],
    "TurnLens._has_ambiguous_reference": [lambda w: _a("that one")],
    "TurnLens._looks_like_complete_question": [lambda w: _a("Show revenue by region")],
    "TurnLens._rank_candidates": [
        lambda w: _kw(current_question="make it monthly", cards=w.cards, explicit_turn_id=None,
                      explicit_artifact_ref=None, active_turn_id=None, preferred_task_type=None),
        lambda w: _kw(current_question="sql_1 turn 2", cards=w.cards, explicit_turn_id=2, explicit_artifact_ref="sql_1",
                      active_turn_id=1, preferred_task_type="text_to_sql")],
    "TurnLens._choose_base_for_contextual_request": [
        lambda w, amb=amb: _a(w.candidate, w.second, "make it monthly", amb) for amb in (False, True)],
    "TurnLens._extract_intent_delta": [lambda w: _a("make it monthly top 5 by bank only north compare 2023")],
    "TurnLens._extract_dimension_hint": [lambda w: _a("by bank")],
    "TurnLens._extract_filter_hint": [lambda w: _a("only north region")],
    "TurnLens._extract_metric_hint": [lambda w: _a("show revenue instead")],
    "TurnLens._clean_hint": [lambda w: _a(" the region ")],
    "TurnLens._apply_numeric_override": [lambda w: _a({"base": "revenue above 100", "filters": "amount > 5"},
                                                      w.delta)],
    "TurnLens._build_contextual_resolution": [
        lambda w: _a("modify_previous_query", "make it monthly", w.candidate, w.delta, w.candidates, "generate", "r")],
    "TurnLens._compose_resolved_question": [
        lambda w: _a("make it monthly", w.card, w.delta, "modify_previous_query", w.candidates, w.candidate),
        lambda w: _a("make it monthly", w.card, w.delta, "follow_up_latest")],
    "TurnLens._merge_top_candidate_states": [lambda w: _a(w.candidate, w.candidates),
                                             lambda w: _a(w.candidate, w.candidates, 2)],
    "TurnLens._state_to_question_parts": [lambda w: _a(w.card.user_question, w.card.query_state)],
    "TurnLens._filters_to_text": [lambda w: _a(w.card.query_state["filters"])],
    "TurnLens._render_question_parts": [lambda w: _a({"base": "revenue", "group_by": "by region"}, "fallback")],
    "TurnLens._build_ambiguity_question": [lambda w: _a(w.candidates)],
    "TurnLens._compose_metadata_search_query": [
        lambda w: _a("make it monthly", w.card, w.delta, "Show monthly revenue by region")],
    "TurnLens._constraints_from_base": [lambda w: _a(w.card, w.delta)],
    "TurnLens._try_llm_fallback": [lambda w: _a("zz", w.cards, {"context_type": "fresh_question"})],
    "TurnLens._resolution_from_llm_dict": [lambda w: _a("zz", dict(GOOD, intent_delta={"top_n": 3}), w.cards)],
    "TurnLens._finalize_resolution": [lambda w: _a(w.resolution, w.cards, {})],
    "resolve_context": [lambda w, m=m: _a(m, w.cards, config=w.config, llm_fallback=w.lens.llm_fallback)
                        for m in ("zz",) + tuple(MESSAGES[:3])],
})
ARGS = {"schemasift": SS_ARGS, "turnlens": TL_ARGS}
# Functions of any value: each is given every record a world holds.
ANY_VALUE = {"schemasift": ["normalize_text", "stable_hash", "safe_float"], "turnlens": ["compact_text", "tokenize"]}
GENERIC = {"repr": repr, "eq": lambda o: o == copy.copy(o), "ne": lambda o: o != 1, "copy": copy.copy,
           "deepcopy": copy.deepcopy, "pickle": lambda o: pickle.loads(pickle.dumps(o))}


def world_instance(w, cls):
    """The world's object of cls (or of a subclass a case installed)."""
    for value in w.roots + [getattr(w, "parser", None)]:
        if isinstance(value, cls):
            return value
    if cls.__name__ == "CatalogIndex":  # built from the world's catalog, hostile values and all
        return cls(w.loose)
    return cls()


def record_calls(name):
    """(id, call(world)) for every realistic call of one module that reads a record."""
    mod, out = MODULES[name], []
    for key, shapes in ARGS[name].items():
        cls_name, _, meth = key.rpartition(".")
        if cls_name in ("_NativePattern", "OptionalTfidfBackend", "OptionalEmbeddingBackend"):
            continue  # no records reach these
        for i, shape in enumerate(shapes):
            def call(w, cls_name=cls_name, meth=meth, shape=shape):
                target = world_instance(w, classes(mod)[cls_name]) if cls_name else mod
                args, kw = shape(w)
                return getattr(target, meth)(*args, **kw)
            out.append((f"{key}#{i}", call))
    for fn in ANY_VALUE[name]:
        out.append((fn, lambda w, fn=fn: [outcome(lambda r=r: getattr(mod, fn)(r)) for r in w.roots]))
    for op, fn in GENERIC.items():
        out.append((op, lambda w, fn=fn: [outcome(lambda r=r: fn(r)) for r in w.roots]))
    return out


RECORD_CALLS = {name: record_calls(name) for name in MODULES}


def test_every_method_has_realistic_arguments():
    for name, mod in MODULES.items():
        for cls_name, cls in classes(mod).items():
            for meth in methods(cls):
                assert f"{cls_name}.{meth}" in ARGS[name], f"{name}.{cls_name}.{meth} needs realistic arguments"
        for key in ARGS[name]:
            cls_name, _, meth = key.rpartition(".")
            assert hasattr(classes(mod)[cls_name] if cls_name else mod, meth), key


def run_everything(name, **world_kw):
    w = World(name, **world_kw)
    for _, call in RECORD_CALLS[name]:
        outcome(lambda: call(w))


# ------------------------------------ (a) every record without each of its fields

def missing_field_cases():
    for name, mod in MODULES.items():
        for rec_name, rec in records(mod).items():
            for field in rec.__match_args__ + ("*",):
                yield pytest.param(name, rec, field, id=f"{rec_name}-{field}")


def _without(field):
    def hook(record):
        for f in type(record).__match_args__ if field == "*" else (field,):
            delattr(record, f)
        return record
    return hook


@pytest.mark.parametrize("name,rec,field", list(missing_field_cases()))
def test_record_without_a_field_in_every_call(name, rec, field):
    run_everything(name, hook=_without(field), target=rec)


# --------------------------- (b) every class half built: __new__ without __init__

WRONG = [_a(), _a(None), _a(1, 2, 3, 4, 5, 6, 7), _a("x", "y", "z"), _a(b"x", [None], {1: 2}, object()),
         _kw(question=1, catalog=None, cards=5, table=[], card="x", current_question=None)]


def bare_cases():
    for name, mod in MODULES.items():
        for cls_name, cls in classes(mod).items():
            for meth in methods(cls) + ["__init__", "__repr__", "__eq__", "__reduce_ex__"]:
                yield pytest.param(name, cls, meth, id=f"{cls_name}.{meth}")


@pytest.mark.parametrize("name,cls,meth", list(bare_cases()))
def test_half_built_object_in_every_method(name, cls, meth):
    try:
        bare = cls.__new__(cls)
    except TypeError:
        return  # a type that cannot be made this way is fine
    shapes = [s(World(name)) for s in ARGS[name].get(f"{cls.__name__}.{meth}", [])] + WRONG
    for args, kw in shapes:
        outcome(lambda: getattr(bare, meth)(*args, **kw))
    for op in GENERIC.values():
        outcome(lambda: op(bare))


# ---------------- (c) values whose protocols raise or wreck the caller's data mid-call

class Plain:
    """Stands in for None and objects of no useful type."""
    __bool__ = lambda self: True  # noqa: E731
    __eq__ = lambda self, other: self is other  # noqa: E731
    __hash__ = lambda self: 7  # noqa: E731
    __str__ = __repr__ = lambda self: "plain"  # noqa: E731
    __float__ = lambda self: 0.5  # noqa: E731
    __index__ = lambda self: 1  # noqa: E731
    __len__ = lambda self: 0  # noqa: E731
    __iter__ = lambda self: iter(())  # noqa: E731


DUNDERS = {
    str: ["__str__", "__repr__", "__eq__", "__hash__", "__lt__", "__len__", "__iter__", "__format__", "strip", "lower",
          "__getitem__", "__contains__"],
    int: ["__index__", "__int__", "__float__", "__eq__", "__hash__", "__lt__", "__bool__", "__str__", "__repr__"],
    float: ["__float__", "__eq__", "__lt__", "__bool__", "__str__", "__repr__", "__hash__"],
    list: ["__len__", "__iter__", "__getitem__", "__eq__", "__contains__", "__bool__", "__repr__"],
    dict: ["__len__", "__iter__", "__getitem__", "get", "items", "keys", "values", "__contains__", "__eq__",
           "__repr__"],
    Plain: ["__bool__", "__eq__", "__hash__", "__str__", "__repr__", "__float__", "__index__", "__len__", "__iter__"],
    "record": ["__getattribute__", "__eq__", "__repr__"],
}
CURRENT = []  # the world of the running call: hostile values act only while it is set


def _trap(orig, act):
    def method(self, *args, **kw):
        if CURRENT:
            CURRENT[-1].touched = True
            if act == "raise":
                raise ValueError("hostile protocol")
            if act != "note":
                CURRENT[-1].wreck(drop=act == "drop")
        return orig(self, *args, **kw)
    return method


_CLASSES = {}


def hostile(value, dunders, act):
    """value as an instance of a subclass of its type whose dunders act first."""
    base = type(value)
    if base is bool:
        base, value = int, int(value)
    elif base not in DUNDERS and not hasattr(base, "__match_args__"):
        base, value = Plain, None
    key = (base, tuple(dunders), act)
    if key not in _CLASSES:
        body = {d: _trap(getattr(base, d), act) for d in dunders}
        body.setdefault("__hash__", body.get("__hash__", getattr(base, "__hash__")))
        _CLASSES[key] = type(f"Hostile{base.__name__}", (base,), body)
    cls = _CLASSES[key]
    if base is Plain:
        return cls()
    if hasattr(base, "__match_args__"):
        return cls(*[getattr(value, f) for f in base.__match_args__])
    return cls(value)


def kinds(value):
    """(id, dunders, act): each protocol raising alone, then all of them wrecking."""
    base = type(value)
    names = DUNDERS.get(int if base is bool else base) or DUNDERS["record" if hasattr(base, "__match_args__")
                                                                  else Plain]
    return [(f"{d}-raise", [d], "raise") for d in names] + [(a, names, a) for a in ("clear", "drop")]


def positions(value, depth):
    """Paths to the value itself and to the keys and values inside its containers,
    down to depth (the first item of each list)."""
    yield ()
    if depth <= 0:
        return
    if isinstance(value, list) and value:
        for p in positions(value[0], depth - 1):
            yield (("item", 0),) + p
    elif isinstance(value, dict):
        for k, v in value.items():
            yield (("key", k),)
            for p in positions(v, depth - 1):
                yield (("value", k),) + p


def at(value, path):
    for step, k in path:
        value = k if step == "key" else value[k]
    return value


def substitute(value, path, new):
    """A copy of value with new at path (containers along the path copied)."""
    if not path:
        return new
    (step, k), rest = path[0], path[1:]
    if isinstance(value, list):
        out = list(value)
        out[k] = substitute(out[k], rest, new)
        return out
    out = {}
    for key, v in value.items():
        if key == k and step == "key" and type(key) is type(k):
            out[new] = v
        else:
            out[key] = substitute(v, rest, new) if key == k and step == "value" else v
    return out


def _first(value, cls, seen=None):
    seen = set() if seen is None else seen
    if id(value) in seen:
        return None
    seen.add(id(value))
    if type(value) is cls:
        return value
    inner = ([getattr(value, f) for f in type(value).__match_args__] if hasattr(type(value), "__match_args__")
             else list(value.values()) if isinstance(value, dict) else value if isinstance(value, list) else [])
    for v in inner:
        found = _first(v, cls, seen)
        if found is not None:
            return found
    return None


ROOTS = {"schemasift": ["loose", "scored", "scored_columns"], "turnlens": ["cards", "candidates"]}
# how deep values are made hostile: loose catalogs and card states are read deeply, results only rendered
DEPTH = {"loose": 6, "query_state": 4, "retrieval_state": 4, "output_state": 4, "required_columns": 3}


def hostile_cases():
    for name, mod in MODULES.items():
        places = [(None, attr, PRISTINE[name][attr]) for attr in ROOTS[name]]
        for rec_name, rec in records(mod).items():
            sample = _first(PRISTINE[name], rec)
            places += [(rec, f, getattr(sample, f)) for f in rec.__match_args__]
        for rec, field, value in places:
            for path in positions(value, DEPTH.get(field, 2)):
                for kind_id, dunders, act in kinds(at(value, path)):
                    where = "".join(f"[{k!r}]" if s != "key" else f"<{k!r}>" for s, k in path)
                    yield pytest.param(name, rec, field, path, dunders, act,
                                       id=f"{rec.__name__ if rec else 'World'}.{field}{where}-{kind_id}")


def at_first(name, rec, field, path):
    return at(PRISTINE[name][field] if rec is None else getattr(_first(PRISTINE[name], rec), field), path)


def _place(rec, field, path, dunders, act):
    def hook(record):
        try:
            old = getattr(record, field)
            setattr(record, field, substitute(old, path, hostile(at(old, path), dunders, act)))
        except (LookupError, TypeError, AttributeError):
            pass  # this instance has no such place
        return record
    return hook


def _run_placed(name, rec, field, path, dunders, act, calls):
    w, touched = None, []
    for key, call in calls:
        if w is None or w.wrecked or w.touched:
            w = World(name, hook=_place(rec, field, path, dunders, act), target=rec)
            if rec is None:
                _place(None, field, path, dunders, act)(w)
        CURRENT.append(w)
        try:
            outcome(lambda: call(w))
        finally:
            CURRENT.pop()
        if w.touched:
            touched.append((key, call))
    return touched


_READERS = {}


@pytest.mark.parametrize("name,rec,field,path,dunders,act", list(hostile_cases()))
def test_hostile_value_in_every_call(name, rec, field, path, dunders, act):
    # Until one of its protocols runs a hostile value is its plain self: only the
    # calls in which an observing stand-in saw a protocol run can differ.
    key = (name, rec, field, path)
    if key not in _READERS:
        _READERS[key] = _run_placed(name, rec, field, path, kinds(at_first(name, rec, field, path))[-1][1], "note",
                                    RECORD_CALLS[name])
    _run_placed(name, rec, field, path, dunders, act, _READERS[key])


# ------------ (c) stages a subclass replaces and callbacks that wreck, then return garbage

def _drop_config(obj, w):
    for f in type(obj.config).__match_args__:
        delattr(obj.config, f)


MEDDLES = {
    "del-config": lambda obj, w: delattr(w.sift if w.name == "schemasift" else w.lens, "config"),
    "none-config": lambda obj, w: setattr(w.sift if w.name == "schemasift" else w.lens, "config", None),
    "config-fields": lambda obj, w: _drop_config(w.sift if w.name == "schemasift" else w.lens, w),
    "clear": lambda obj, w: w.wreck(drop=False),
    "drop": lambda obj, w: w.wreck(drop=True),
}
SUPER = object()
RETURNS = {"super": SUPER, "none": None, "text": "x", "list": [None], "object": Plain()}


def _stage(cls, name, meddle, ret):
    static = isinstance(vars(cls).get(name), staticmethod)

    def stage(*args, **kw):
        try:
            result = getattr(cls if static else super(sub, args[0]), name)(*args[not static:], **kw)
        except Exception:  # noqa: BLE001 - the stage may fail on what earlier stages left
            result = None
        if CURRENT:
            meddle(None, CURRENT[-1])
        return result if ret is SUPER else ret

    body = {name: staticmethod(stage) if static else stage}
    if not cls.__flags__ & 1 << 10:  # not subclassable: a stand-in with the same methods
        body = {m: vars(cls)[m] for m in methods(cls)} | body
    sub = type(f"Meddling{cls.__name__}", (cls,) if cls.__flags__ & 1 << 10 else (), body)
    if cls in (ss.OptionalTfidfBackend, ss.OptionalEmbeddingBackend):
        sub.__init__ = lambda self, *a: setattr(self, "available", True)  # no model is loaded
    return sub


def _install(w, cls, sub, monkeypatch):
    if cls is ss.SchemaSift:
        w.sift = sub(w.config)
    elif cls is tl.TurnLens:
        w.lens = sub(w.config, w.lens.llm_fallback)
    else:  # found by name in the module
        monkeypatch.setattr(ss, cls.__name__, sub)
        w.sift.intent_parser = sub() if cls is ss.IntentParser else w.sift.intent_parser
        if "Backend" in cls.__name__:  # only the replaced backend runs
            w.config.strategy = "embedding" if "Embedding" in cls.__name__ else "tfidf"
            w.config.use_embeddings_if_available = True


# the calls that run a replaced stage: the entry points, the stages that call other
# stages, and the stage itself
DRIVERS = ("TurnLens.resolve", "TurnLens._build_contextual_resolution", "TurnLens._compose_resolved_question",
           "TurnLens._try_llm_fallback", "TurnLens._finalize_resolution", "SchemaSift.select")
ENGINES = (ss.SchemaSift, tl.TurnLens, ss.IntentParser, ss.CatalogNormalizer, ss.OptionalTfidfBackend,
           ss.OptionalEmbeddingBackend)


def stage_cases():
    for cls in ENGINES:
        name = "schemasift" if cls.__module__ == ss.__name__ else "turnlens"
        for stage in methods(cls):
            for meddle in MEDDLES:
                for ret in RETURNS:
                    yield pytest.param(name, cls, stage, meddle, ret,
                                       id=f"{cls.__name__}.{stage}-{meddle}-{ret}")


@pytest.mark.parametrize("name,cls,stage,meddle,ret", list(stage_cases()))
def test_replaced_stage_that_wrecks_and_returns_garbage(name, cls, stage, meddle, ret, monkeypatch):
    sub = _stage(cls, stage, MEDDLES[meddle], RETURNS[ret])
    w = None
    for key, call in RECORD_CALLS[name]:
        if not key.startswith(DRIVERS + (f"{cls.__name__}.{stage}#",)):
            continue
        if w is None or w.wrecked or meddle.endswith("config"):
            w = World(name)
            _install(w, cls, sub, monkeypatch)
        CURRENT.append(w)
        try:
            outcome(lambda: call(w))
        finally:
            CURRENT.pop()


CALLBACK_MEDDLES = dict(MEDDLES, **{
    "args": lambda q, s, p, w: (s.clear(), p.clear()),
    "callback": lambda q, s, p, w: setattr(w.lens, "llm_fallback", None),
    "new-config": lambda q, s, p, w: setattr(w.lens, "config", tl.ResolverConfig(max_recent_cards=0)),
})
CALLBACK_RETURNS = dict(RETURNS, good=lambda: dict(GOOD), **{
    "wrecking-map": lambda: hostile(dict(GOOD), DUNDERS[dict], "drop"),
    "raising-map": lambda: hostile(dict(GOOD), DUNDERS[dict], "raise"),
    "wrecking-values": lambda: {k: hostile(v, DUNDERS[type(v)], "drop") for k, v in GOOD.items()},
    "raises": RuntimeError("model down"),
})


@pytest.mark.parametrize("ret", sorted(CALLBACK_RETURNS))
@pytest.mark.parametrize("meddle", sorted(CALLBACK_MEDDLES))
def test_callback_that_wrecks_and_returns_garbage(meddle, ret):
    act, answer = CALLBACK_MEDDLES[meddle], CALLBACK_RETURNS[ret]

    def callback(q, summaries, preliminary):
        w = CURRENT[-1]
        act(q, summaries, preliminary, w) if act.__code__.co_argcount == 4 else act(w.lens, w)
        if isinstance(answer, BaseException):
            raise answer
        return answer() if callable(answer) else answer

    w = None
    for key, call in RECORD_CALLS["turnlens"]:
        if key.startswith(DRIVERS + ("resolve_context",)):
            if w is None or w.wrecked or meddle in ("del-config", "none-config", "config-fields", "callback",
                                                     "new-config"):
                w = World("turnlens", callback=callback)
            CURRENT.append(w)
            try:
                outcome(lambda: call(w))
            finally:
                CURRENT.pop()
