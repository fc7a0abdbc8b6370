"""Leak checks over every type and entry point, discovered at run time.

tracemalloc sees the interpreter's allocator (PyMem_*, and every Python object), and attributes
an allocation made in native code to the Python line that called it: loops of construction,
re-initialisation, processing and deallocation, and repeated error-path calls with fixed fuzzed
arguments, must leave nothing behind at the calling lines. The C heap (used by a few types) is
watched with mallinfo2 on the plain build. Reference counts of arguments and results are checked
where measurable.
"""

import ctypes
import gc
import random
import sys
import tracemalloc
import warnings

import pytest

import _sonolith as m
from tests.conftest import SANITIZED
from tests.fuzz import harness as hz
from tests.fuzz import recipes as rec
from tests.fuzz import surface as surf

SURFACE = surf.discover(m)
LOOPS = 20 if SANITIZED else 60


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def c_heap_in_use():
    """Bytes in use on the C heap, or None where it cannot be measured (sanitizer build)."""
    if SANITIZED:
        return None
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def growth_at(snapshot_before, snapshot_after, filename):
    """Bytes still allocated from lines of `filename`, after minus before."""
    flt = [tracemalloc.Filter(True, filename)]
    stats = snapshot_after.filter_traces(flt).compare_to(snapshot_before.filter_traces(flt), "lineno")
    return sum(s.size_diff for s in stats), [str(s) for s in stats if s.size_diff > 0][:5]


def clear_interpreter_caches():
    """Empties the interpreter's type attribute cache. Looking up a method by a name made for the
    call (PyObject_CallMethod with a C string, as VorbisStream does for the file's read, seek,
    tell and seekable) leaves that fresh name string referenced from a cache slot chosen by its
    address, so every call can fill one more of the cache's few thousand slots: bounded growth
    that belongs to the interpreter, not to the module, and would read as ~46 bytes left per call
    at the calling line."""
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()


def measure(body, loops):
    """Runs body() twice to warm caches, then `loops` times under tracemalloc; returns the growth
    at this file's lines and at recipes.py, and the C heap growth. Tracing starts before the
    warm-up, so that arrays an object held before the loops (a re-run __init__ replaces them)
    count as freed when the loops replace them."""
    tracemalloc.start(1)
    try:
        body()
        body()
        gc.collect()
        clear_interpreter_caches()
        heap0 = c_heap_in_use()
        before = tracemalloc.take_snapshot()
        for _ in range(loops):
            body()
        gc.collect()
        clear_interpreter_caches()
        after = tracemalloc.take_snapshot()
        heap1 = c_heap_in_use()
    finally:
        tracemalloc.stop()
    here = growth_at(before, after, __file__)
    there = growth_at(before, after, rec.__file__)
    heap = None if heap0 is None else heap1 - heap0
    return here[0] + there[0], here[1] + there[1], heap


@pytest.mark.parametrize("name", sorted(SURFACE.types))
def test_lifecycle_loops_stay_flat(name):
    recipe = rec.recipe_for(m, name)
    if recipe is None:
        warnings.warn(f"{name}: no recipe; its lifecycle is not leak-checked")
        return
    if recipe.generic:
        warnings.warn(f"{name}: no recipe; leak-checked through a generic one")
    data = recipe.data()

    def body():
        obj = recipe.make(m)
        for _ in range(3):
            recipe.work(obj, data)
        if recipe.reinit is not None:
            recipe.reinit(obj)
            recipe.work(obj, data)
            recipe.reinit(obj)
        del obj

    data_refs = sys.getrefcount(data)
    grown, where, heap = measure(body, LOOPS)
    assert grown < 4096, f"{name}: {grown} bytes left after {LOOPS} loops: {where}"
    if heap is not None:
        assert heap < 256 * 1024, f"{name}: C heap grew by {heap} bytes over {LOOPS} loops"
    assert sys.getrefcount(data) == data_refs


@pytest.mark.parametrize("name", sorted(SURFACE.types))
def test_results_carry_no_extra_references(name):
    recipe = rec.recipe_for(m, name)
    if recipe is None:
        return
    obj = recipe.make(m)
    data = recipe.data()
    for _ in range(3):
        result = recipe.work(obj, data)
        if result is obj or result is data:
            continue
        count = sys.getrefcount(result)
        assert count == 2 or count > 1 << 28, f"{name}: result {type(result).__name__} has {count - 1} references"
        if isinstance(result, tuple):
            for item in result:
                c = sys.getrefcount(item)
                assert c <= 3 or c > 1 << 28, f"{name}: a result item has {c - 2} references"
        del result


@pytest.mark.parametrize("name", sorted(SURFACE.functions))
def test_function_calls_stay_flat(name):
    if name not in rec.FUNCTION_CALLS:
        warnings.warn(f"{name}: no call recipe; only its fuzzed calls are leak-checked")
        return
    data = rec.pcm_block(256)
    args = rec.FUNCTION_CALLS[name](data)
    refs = [sys.getrefcount(a) for a in args]

    def body():
        getattr(m, name)(*args)

    grown, where, heap = measure(body, LOOPS * 5)
    assert grown < 2048, f"{name}: {grown} bytes left: {where}"
    assert [sys.getrefcount(a) for a in args] == refs


def fuzz_entry_points():
    h = hz.Harness(m, seed=7, seconds=0)
    return h, [ep for ep in h.entry_points if ep.kind in ("func", "new", "method", "init")]


HARNESS, ENTRY_POINTS = fuzz_entry_points()


@pytest.mark.parametrize("label", [ep.label for ep in ENTRY_POINTS])
def test_fuzzed_calls_including_error_paths_stay_flat(label):
    """The same fixed set of fuzzed calls (most of them failing validation or conversion),
    repeated, must not grow memory or argument reference counts."""
    ep = next(e for e in ENTRY_POINTS if e.label == label)
    rng = random.Random(label)
    calls = [HARNESS.fresh_args(ep.signature, rng) for _ in range(12 if SANITIZED else 30)]
    if ep.kind in ("method", "init"):
        recipe = rec.recipe_for(m, ep.type_name)
        cls = SURFACE.types[ep.type_name].type
        target = recipe.make(m) if recipe is not None else cls.__new__(cls)
        fn = getattr(target, ep.name)
    elif ep.kind == "new":
        fn = SURFACE.types[ep.type_name].type
    else:
        fn = getattr(m, ep.name)

    def body():
        call = fn
        if ep.kind == "init":  # a fresh object per round: what a fuzzed __init__ allocates goes with it
            call = getattr(recipe.make(m) if recipe is not None else cls.__new__(cls), ep.name)
        for args, kwargs in calls:
            try:
                call(*args, **kwargs)
            except Exception:
                pass

    body()
    gc.collect()  # garbage of earlier tests may still hold the shared argument values
    refs = [[sys.getrefcount(a) for a in args] for args, _ in calls]
    grown, where, heap = measure(body, 3)
    assert grown < 4096, f"{label}: {grown} bytes left: {where}"
    after = [[sys.getrefcount(a) for a in args] for args, _ in calls]
    assert after == refs, f"{label}: argument reference counts changed"
