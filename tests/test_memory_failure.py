"""Allocation failure never takes the interpreter down: every call through either
module raises MemoryError or returns exactly the result it returns with memory to
spare, and the next call is unaffected.

In process, the host's allocator hooks fail the n-th allocation of a whole call (and
every one after it, or that one alone) for each n up to the call's count. C++ `new`
does not go through those hooks, so big inputs in a child process under a capped
address space make the native side run out as well."""
import collections
import copy
import gc
import json
import logging
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading

import pytest

import askweave.schemasift as ss
import askweave.turnlens as tl

_testcapi = pytest.importorskip("_testcapi")

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "bench"))
import catalog_gen  # noqa: E402

SANITIZED = bool(os.environ.get("ASKWEAVE_SANITIZED"))


# ---------------------------------------------------------------------------
# Inputs, all built before any allocation fails
# ---------------------------------------------------------------------------

CATALOG = catalog_gen.make_catalog(4, 6, seed=3)
QUESTION = "top 5 regions by total revenue of sales orders per month since January"
STATE = {"active_tables": ["sales_orders"], "active_columns": ["revenue", "region", "order_date"],
         "metrics": ["revenue"], "dimensions": ["region"], "group_by": ["region"],
         "filters": [{"column": "order_date", "operation": "last_6_months"}, "status = failed"],
         "aggregation": {"function": "sum", "column": "revenue"}, "granularity": "day", "limit": 5}
Point = collections.namedtuple("Point", "x y")
# A record and a map: maps become cards inside the call.
CARDS = [
    tl.TurnContextCard(1, session_id="s", user_question="Show total revenue by region for last 6 months",
                       task_type="text_to_sql", artifact_type="chart", artifact_id="c1",
                       topic_keywords=["sales", "revenue"], entities=["sales_orders"],
                       selected_metadata_ids=["table:sales_orders", "column:sales_orders.revenue"],
                       query_state=copy.deepcopy(STATE), sql="select 1", created_at_ms=10),
    {"turn_id": 2, "user_question": "failed payments by bank", "task_type": "text_to_sql", "artifact_type": "table",
     "entities": ["payments", "bank"], "created_at_ms": 20,
     "query_state": {"tables": ["payments"], "columns": ["amount", "bank"], "metrics": "amount",
                     "filters": [{"field": "amount", "operator": ">", "value": 0}]}},
    tl.TurnContextCard(3, user_question="top 5 customers", quality_score=0.5, created_at_ms=30,
                       extra={"k": [1, 2.5, None], "at": Point(1, (2, 3))}),
]
# fresh, modification, explicit turn, suggestion, comparison
MESSAGES = ["average order value by country", "make it weekly instead", "show the top 3 of turn #2 by bank",
            "what else can we get from that?", "compare the previous chart with last year and remove the status filter"]
FALLBACK = dict(use_llm_fallback=True, llm_fallback_confidence_ceiling=0.99)


def answer(question, summaries, preliminary):
    return {"context_type": "follow_up_specific_turn", "base_turn_id": 2, "confidence": 0.9,
            "resolved_question": question + " (resolved)", "intent_delta": {"operation": "set_top_n", "top_n": 3},
            "required_tables": ["payments"], "reason": "model"}


def model_down(question, summaries, preliminary):
    raise RuntimeError("model down")


def _calls():
    """name -> (call, the rule-based call or None). A failure inside the model callback
    is absorbed, so a fallback call may also end with the rules' own result."""
    calls = {}
    sift = ss.SchemaSift(ss.SelectorConfig(strategy="lexical", include_sample_values=True))
    budgeted = ss.SchemaSift(ss.SelectorConfig(strategy="lexical", max_output_chars=400))
    calls["select"] = (lambda: sift.select(QUESTION, CATALOG, required_tables=["commerce_orders"],
                                           excluded_columns={"commerce_orders": ["tax_amount"]}), None)
    calls["select_budget"] = (lambda: budgeted.select(QUESTION, CATALOG), None)
    calls["select_metadata"] = (lambda: ss.select_metadata(QUESTION, CATALOG, strategy="lexical", top_k_tables=2), None)
    calls["normalize"] = (lambda: ss.CatalogNormalizer.normalize(CATALOG, database="db"), None)
    index = ss.CatalogIndex(CATALOG, ss.SelectorConfig(strategy="lexical"))
    calls["select_many"] = (lambda: index.select_many([QUESTION, "orders by region"] * 6, threads=2), None)
    catalog = ss.CatalogNormalizer.normalize(CATALOG)
    calls["to_prompt_dict"] = (catalog.to_prompt_dict, None)
    selection = ss.select_metadata(QUESTION, CATALOG, strategy="lexical")
    calls["selection_to_dict"] = (lambda: selection.to_dict(include_debug=True), None)
    # named tuples are rebuilt through their own type
    named_debug = ss.MetadataSelectionResult(selection.selected_metadata, selection.metrics, selection.intent,
                                     {"at": Point(1, (2, 3)), "tables": selection.debug})
    calls["selection_to_dict-named"] = (lambda: named_debug.to_dict(include_debug=True), None)

    lens = tl.TurnLens()
    with_model = tl.TurnLens(tl.ResolverConfig(**FALLBACK), answer)
    without_model = tl.TurnLens(tl.ResolverConfig(**FALLBACK), model_down)
    for i, m in enumerate(MESSAGES):
        calls[f"resolve-{i}"] = (
            lambda m=m: lens.resolve(m, CARDS, active_turn_id=1, preferred_task_type="text_to_sql"), None)
        calls[f"resolve_context-{i}"] = (lambda m=m: tl.resolve_context(m, CARDS), None)
        calls[f"resolve-model-{i}"] = (lambda m=m: with_model.resolve(m, CARDS),
                                       lambda m=m: without_model.resolve(m, CARDS))
        config = tl.ResolverConfig(**FALLBACK)
        calls[f"resolve_context-model-{i}"] = (
            lambda m=m, c=config: tl.resolve_context(m, CARDS, config=c, llm_fallback=answer),
            lambda m=m, c=config: tl.resolve_context(m, CARDS, config=c, llm_fallback=model_down))
    card = CARDS[0]
    calls["to_resolver_summary"] = (card.to_resolver_summary, None)
    calls["to_resolver_summary-short"] = (lambda: card.to_resolver_summary(max_chars=40), None)
    resolution = lens.resolve(MESSAGES[1], CARDS)
    calls["resolution_to_dict"] = (resolution.to_dict, None)
    calls["candidate_to_dict"] = (resolution.candidates[0].to_dict, None)
    named_extra = tl.ContextResolution("follow_up_latest", "q", "q", "q", candidates=resolution.candidates,
                               extra={"at": Point(1, (2, 3))})
    calls["resolution_to_dict-named"] = (named_extra.to_dict, None)
    kw = dict(session_id="s", user_question="q", task_type="text_to_sql", artifact_id="a", topic_keywords=["x"],
              query_state={"tables": ["t"]}, created_at_ms=10, quality_score=0.5, is_active=False, extra={"k": 1})
    calls["card"] = (lambda: tl.TurnContextCard(1, **kw), None)
    delta = tl.IntentDelta(operation="set_top_n", top_n=3)
    calls["resolution"] = (lambda: tl.ContextResolution("follow_up_latest", "q", "q", "q", base_turn_id=2,
                                                        intent_delta=delta, confidence=0.5, route="clarify"), None)
    return calls


CALLS = _calls()


# ---------------------------------------------------------------------------
# Injected failures, in process
# ---------------------------------------------------------------------------

# Diagnostics run the standard library's logging, Python code with `with` blocks:
# the interpreter itself can loop forever unwinding one when every allocation fails
# (it retries allocating what it needs to unwind). The logger is off while failures
# are injected.
QUIET_LOGGER = logging.getLogger("askweave")


@pytest.fixture(autouse=True, scope="module")
def _no_other_python_threads():
    """Failures are injected into every thread. A Python thread of another library
    (tqdm's monitor, started by a model's progress bar earlier in the run) that
    wakes while they are in can loop forever unwinding, holding the interpreter
    lock this thread waits for. Such monitors are stopped for this module."""
    try:
        from tqdm import std
    except ImportError:
        return
    std.tqdm.monitor_interval = 0
    for thread in threading.enumerate():
        if thread.name == "tqdm_monitor" and hasattr(thread, "exit"):
            thread.exit()
    std.tqdm.monitor = None


def _hooked(call, n, only_one):
    """call() with the n-th allocation failing (and all after it unless only_one):
    ("ok", result), ("memory", None) or ("raised", exception). Nothing else runs while
    the hooks are in: a failure in the test's own machinery would say nothing."""
    if QUIET_LOGGER:
        QUIET_LOGGER.disabled = True
    gc.disable()
    _testcapi.set_nomemory(n, n + 1 if only_one else 0)
    try:
        try:
            result = call()
        finally:
            _testcapi.remove_mem_hooks()
            gc.enable()
            if QUIET_LOGGER:
                QUIET_LOGGER.disabled = False
    except MemoryError:
        return "memory", None
    except BaseException as e:  # noqa: BLE001 - reported, not swallowed
        return "raised", e
    return "ok", result


def _allocations(call):
    """The first n at which the call no longer meets a failing allocation."""
    n = 0
    while _hooked(call, n, False)[0] != "ok":
        n += 1
    return n


def _fields(x):
    """Field-by-field form of a result, for the failure message."""
    names = getattr(type(x), "__match_args__", None)
    if names is not None and not isinstance(x, tuple):
        return {k: _fields(getattr(x, k)) for k in names}
    if isinstance(x, dict):
        return {k: _fields(v) for k, v in x.items()}
    if isinstance(x, list):
        return [_fields(v) for v in x]
    return x


def _differences(want, got, path="", out=None):
    out = [] if out is None else out
    if isinstance(want, dict) and isinstance(got, dict) and list(want) == list(got):
        for k in want:
            _differences(want[k], got[k], f"{path}.{k}", out)
    elif isinstance(want, list) and isinstance(got, list) and len(want) == len(got):
        for i, (a, b) in enumerate(zip(want, got)):
            _differences(a, b, f"{path}[{i}]", out)
    elif want != got:
        out.append(f"{path or 'result'}: {want!r:.80} -> {got!r:.80}")
    return out


# Steps past the count: a call that no longer meets a failure must keep its result.
MARGIN = 20

# Some interpreters (3.13.0 among them) return from dict.setdefault with the
# allocation failure still pending; json's decoder then crashes on it. Failures
# injected in such a process test the interpreter, not these modules.
_SETDEFAULT_PROBE = """
import _testcapi
d = dict.fromkeys("abcde")
_testcapi.set_nomemory(0, 1)
try:
    d.setdefault("f")
except MemoryError:
    pass
finally:
    _testcapi.remove_mem_hooks()
"""
HOST_DICT_MISHANDLES_FAILURE = subprocess.run([sys.executable, "-c", _SETDEFAULT_PROBE],
                                              capture_output=True).returncode != 0


@pytest.mark.skipif(HOST_DICT_MISHANDLES_FAILURE,
                    reason="this interpreter's dict.setdefault mishandles a failed allocation")
@pytest.mark.parametrize("only_one", [False, True], ids=["from-n-on", "n-th-only"])
@pytest.mark.parametrize("name", list(CALLS))
def test_failed_allocation_raises_or_changes_nothing(name, only_one):
    call, rules = CALLS[name]
    want = call()
    accepted = [want] if rules is None else [want, rules()]
    count = _allocations(call)
    problems = []
    for n in range(count + MARGIN):
        outcome, got = _hooked(call, n, only_one)
        if outcome == "raised":
            problems.append(f"n={n}: {type(got).__name__}: {got}")
        elif outcome == "ok" and got not in accepted:
            problems.append(f"n={n}: a different result: " + "; ".join(_differences(_fields(want), _fields(got))[:4]))
        elif outcome == "memory" and call() != want:
            problems.append(f"n={n}: the next call after MemoryError returns a different result")
    assert not problems, f"{len(problems)} of ~{count} steps:\n" + "\n".join(problems[:12])


# ---------------------------------------------------------------------------
# Big inputs against capped memory, in a child process
# ---------------------------------------------------------------------------

# Under ASan the address space holds the shadow memory, so it cannot be capped;
# the sanitizer's allocator refuses single allocations above a size instead. Its
# own operator new dies on a refusal rather than throwing, so the child gets one
# on top of malloc that throws std::bad_alloc, as a normal build does.
NEW_ON_MALLOC = r"""
#include <cstdlib>
#include <new>
void* operator new(std::size_t n) {
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new(std::size_t n, std::align_val_t a) {
    std::size_t al = static_cast<std::size_t>(a);
    if (void* p = std::aligned_alloc(al, (n + al - 1) / al * al)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
"""

# The child builds its input, then makes the call once per limit and prints one
# JSON line of outcomes. After each MemoryError a small call must still give the
# result it gave before any failure.
CHILD = r"""
import json, resource, sys
sys.path[:0] = [BENCH]
import askweave.schemasift as ss, askweave.turnlens as tl
import catalog_gen
MB = 1 << 20
WORDS = "Show totalRevenue by region_name for the top 5 customers last 6 months, make it weekly; r\u00e9sum\u00e9 12.5% "
def text(mb):
    return (WORDS * (int(mb * MB) // len(WORDS) + 1))[: int(mb * MB)]
def cards(k=3, mb=0):
    return [tl.TurnContextCard(i, user_question=text(mb) if mb else f"revenue by region {i}",
                               query_state={"tables": ["sales_orders"], "metrics": ["revenue"], "group_by": ["region"],
                                            "filters": [text(mb) if mb else "status = failed"]},
                               created_at_ms=i) for i in range(1, k + 1)]
QUESTION = "top 5 regions by total revenue of sales orders per month since January"
def small():
    return (ss.tokenize("Top 5 customerName by revenue"), tl.tokenize("make it weeklyRevenue"),
            tl.TurnLens().resolve("make it weekly", cards()).to_dict())
before = small()
SETUP
def vm_size():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
outcomes = []
for headroom in json.loads(sys.argv[1]):
    if headroom is not None:
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + int(headroom * MB), hard))
    try:
        try:
            result = CALL
            del result
            outcomes.append("ok")
        finally:
            if headroom is not None:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    except MemoryError:
        outcomes.append("MemoryError")
        if small() != before:
            outcomes.append("changed")
print(json.dumps(outcomes), flush=True)
"""

# name -> (setup, call): texts of a few MB, catalogs of 400 tables
BIG = {
    "schemasift.tokenize": ("t = text(SIZE)", "ss.tokenize(t)"),
    "turnlens.tokenize": ("t = text(SIZE)", "tl.tokenize(t)"),
    "schemasift._split_identifier": ("t = text(SIZE)", "ss._split_identifier(t)"),
    "turnlens.split_identifier": ("t = text(SIZE)", "tl.split_identifier(t)"),
    "turnlens.compact_text": ("t = text(SIZE)", "tl.compact_text(t, max_chars=10**8)"),
    "schemasift.stable_hash": ("t = {'a': [text(SIZE / 2)] * 3}", "ss.stable_hash(t)"),
    "schemasift._json_dumps": ("t = {'a': [text(SIZE / 4)] * 6}", "ss._json_dumps(t, indent=2)"),
    "IntentParser.parse": ("t = text(SIZE)", "ss.IntentParser().parse(t)"),
    "TurnLens.resolve": ("t = text(SIZE); c = cards()", "tl.TurnLens().resolve(t, c)"),
    "TurnLens.resolve-big-cards": ("c = cards(3, SIZE / 2)", "tl.TurnLens().resolve('make it weekly', c)"),
    "resolve_context-model": (
        "t = 'compare ' + text(SIZE); c = cards(); f = lambda q, s, p: {'resolved_question': q}",
        "tl.resolve_context(t, c, config=tl.ResolverConfig(use_llm_fallback=True, llm_fallback_confidence_ceiling=0.99),"
        " llm_fallback=f)"),
    "to_resolver_summary": ("c = cards(1, SIZE)[0]", "c.to_resolver_summary(max_chars=10**8)"),
    "TurnContextCard.tokens": ("c = cards(1, SIZE)[0]", "c.tokens()"),
    "_native_pattern.finditer": ("t = text(SIZE); p = tl._native_pattern(r'\\w+')", "p.finditer(t)"),
    # a long question against a small catalog, a short one against a wide catalog: selection
    # time grows with both at once
    "select_metadata": ("t = text(SIZE / 2); k = catalog_gen.make_catalog(3, 6, seed=1)",
                        "ss.select_metadata(t, k, strategy='lexical')"),
    "SchemaSift.select": ("k = catalog_gen.make_catalog(400, 60, seed=1)",
                          "ss.SchemaSift(ss.SelectorConfig(strategy='lexical', top_k_tables=400,"
                          " max_columns_per_table=60, include_sample_values=True)).select(QUESTION, k)"),
    "SchemaSift.select-budget": ("k = catalog_gen.make_catalog(400, 60, seed=1)",
                                 "ss.SchemaSift(ss.SelectorConfig(strategy='lexical', top_k_tables=400,"
                                 " max_output_chars=1000)).select(QUESTION, k)"),
    "select_metadata-wide": ("k = catalog_gen.make_catalog(400, 60, seed=1)",
                             "ss.select_metadata(QUESTION, k, strategy='lexical', top_k_tables=400)"),
    "CatalogNormalizer.normalize": ("k = catalog_gen.make_catalog(400, 60, seed=1)", "ss.CatalogNormalizer.normalize(k)"),
    "to_prompt_dict": ("k = ss.CatalogNormalizer.normalize(catalog_gen.make_catalog(400, 60, seed=1))",
                       "k.to_prompt_dict()"),
}
# Under the sanitizers, the size caps in MB that fail some allocation of the call but
# none of the input's. A wide catalog is made of small allocations only, so
# normalizing one or writing it out meets no cap.
SANITIZER_CAPS = {"SchemaSift.select": [1, 2], "SchemaSift.select-budget": [1, 2], "select_metadata-wide": [1, 2],
                  "CatalogNormalizer.normalize": [], "to_prompt_dict": []}

if SANITIZED:
    # 2 MB inputs; the largest single allocation allowed, in MB
    SIZE, LIMITS = 2, [3, 6]
else:
    # 4 MB inputs; MB of address space allowed beyond what the child holds
    SIZE, LIMITS = 4, [1, 2, 4, 8, 16, 32, 64, 128, 256]


@pytest.fixture(scope="module")
def child_env(tmp_path_factory):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(pathlib.Path(ss.__file__).parent.parent),
                                                   env.get("PYTHONPATH")] if p)
    if SANITIZED:
        compiler = shutil.which("c++") or shutil.which("g++")
        if compiler is None:
            pytest.skip("needs a C++ compiler for the child's operator new")
        lib = tmp_path_factory.mktemp("new") / "new_on_malloc.so"
        src = lib.with_suffix(".cpp")
        src.write_text(NEW_ON_MALLOC)
        subprocess.run([compiler, "-O1", "-shared", "-fPIC", str(src), "-o", str(lib)], check=True)
        env["LD_PRELOAD"] = f"{lib}:{env.get('LD_PRELOAD', '')}"
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0:allocator_may_return_null=1"
    return env


def _run_child(name, env, limits):
    setup, call = BIG[name]
    source = (CHILD.replace("BENCH", repr(str(HERE.parent / "bench")))
              .replace("SETUP", setup.replace("SIZE", str(SIZE))).replace("CALL", call))
    return subprocess.run([sys.executable, "-c", source, json.dumps(limits)], env=env, capture_output=True,
                          text=True, timeout=600)


def _died(proc):
    tail = "\n".join(proc.stderr.strip().splitlines()[-25:])
    how = f"signal {signal.Signals(-proc.returncode).name}" if proc.returncode < 0 else f"exit {proc.returncode}"
    return f"the child died ({how}):\n{tail}"


@pytest.mark.parametrize("name", list(BIG))
def test_big_inputs_under_a_memory_cap(name, child_env):
    if SANITIZED:
        caps = SANITIZER_CAPS.get(name, LIMITS)
        if not caps:
            pytest.skip("no allocation there is big enough for the sanitizer's size cap")
        # one child per cap: the sanitizer reads its options at start
        runs = [(f"cap {cap} MB", _run_child(name, dict(
            child_env, ASAN_OPTIONS=child_env["ASAN_OPTIONS"] + f":max_allocation_size_mb={cap}"), [None]))
            for cap in caps]
    else:
        runs = [("", _run_child(name, child_env, LIMITS))]
    outcomes = []
    for label, proc in runs:
        assert proc.returncode == 0, f"{label} " + _died(proc)
        for fault in ("terminate called", "ERROR: AddressSanitizer", "runtime error:"):
            assert fault not in proc.stderr, f"{label} {proc.stderr}"
        outcomes += json.loads(proc.stdout)
    assert set(outcomes) <= {"ok", "MemoryError"}, outcomes
    # the smallest cap must be too small, or nothing was tested
    assert outcomes[0] == "MemoryError", outcomes
