"""Thread stress over every type and module function, discovered at run time.

Several threads hammer one shared object (no crash; where the recipe says results are checkable,
the results, as a multiset, and the final state equal a serial run of as many calls); many objects
run in parallel (each equal to a serial run); module functions give the same results in parallel
as serially. Meaningful on a free-threaded interpreter, harmless elsewhere. A type without a
recipe is exercised through a generic one and named in a warning.
"""

import collections
import threading
import warnings

import pytest

import _sonolith as m
from tests.conftest import SANITIZED
from tests.fuzz import recipes as rec
from tests.fuzz import surface as surf

SURFACE = surf.discover(m)
THREADS = 4
CALLS = 12 if SANITIZED else 40


def freeze(x):
    try:
        hash(x)
        return x
    except TypeError:
        return repr(x)


def run_threads(count, body):
    """Runs body(i) on `count` threads started together; re-raises the first error."""
    barrier = threading.Barrier(count)
    errors = []

    def run(i):
        try:
            barrier.wait()
            body(i)
        except BaseException as e:  # reported on the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def recipe_or_warn(name):
    recipe = rec.recipe_for(m, name)
    if recipe is None:
        warnings.warn(f"{name}: no recipe and no generic way to build one; not stressed")
    elif recipe.generic:
        warnings.warn(f"{name}: no recipe; stressed through a generic one only")
    return recipe


@pytest.mark.parametrize("name", sorted(SURFACE.types))
def test_threads_share_one_object(name):
    recipe = recipe_or_warn(name)
    if recipe is None:
        return
    data = recipe.data()
    shared = recipe.make(m)
    results = [[] for _ in range(THREADS)]
    refused = collections.Counter()

    def body(i):
        for _ in range(CALLS):
            try:
                results[i].append(freeze(recipe.work(shared, data)))
            except RuntimeError:
                if not recipe.busy_ok:
                    raise
                refused[i] += 1

    run_threads(THREADS, body)
    if not recipe.checkable:
        return
    done = sum(len(r) for r in results)
    serial = recipe.make(m)
    expected = [freeze(recipe.work(serial, data)) for _ in range(done)]
    assert collections.Counter(x for r in results for x in r) == collections.Counter(expected)
    probe = recipe.probe or (lambda o: freeze(recipe.work(o, data)))
    assert probe(shared) == probe(serial)


@pytest.mark.parametrize("name", sorted(SURFACE.types))
def test_threads_share_one_object_with_long_blocks(name):
    """Blocks long enough that the kernels run without the GIL: only the object's own lock keeps
    two kernels off its state at once. Each thread feeds its share of one stream of equal blocks,
    so under any serial order the k-th call to run gets the k-th output of a serial model; a torn
    state shows up as an output the model never gives, or a different final state."""
    recipe = recipe_or_warn(name)
    if recipe is None or not recipe.checkable:
        return
    block = recipe.data()
    if not isinstance(block, bytes):
        return
    block = block * (16384 // max(1, len(block) // 4) + 1)
    serial = recipe.make(m)
    try:
        expected = [freeze(recipe.work(serial, block)) for _ in range(THREADS * CALLS // 4)]
    except (ValueError, TypeError):
        return  # this type's call takes no long block
    shared = recipe.make(m)
    results = [[] for _ in range(THREADS)]
    run_threads(THREADS, lambda i: results[i].extend(freeze(recipe.work(shared, block)) for _ in range(CALLS // 4)))
    assert collections.Counter(x for r in results for x in r) == collections.Counter(expected)
    probe = recipe.probe or (lambda o: freeze(recipe.work(o, block)))
    assert probe(shared) == probe(serial)


@pytest.mark.parametrize("name", sorted(SURFACE.types))
def test_objects_in_parallel_match_serial_runs(name):
    recipe = recipe_or_warn(name)
    if recipe is None:
        return
    data = recipe.data()

    def run_one():
        obj = recipe.make(m)
        out = [freeze(recipe.work(obj, data)) for _ in range(CALLS)]
        if recipe.reinit is not None:
            recipe.reinit(obj)
            out += [freeze(recipe.work(obj, data)) for _ in range(3)]
        return out

    expected = run_one()
    results = [None] * THREADS
    run_threads(THREADS, lambda i: results.__setitem__(i, run_one()))
    if recipe.checkable:
        assert all(r == expected for r in results)


def function_inputs():
    # The long block is well above the size from which kernels run without the GIL.
    return [rec.pcm_block(frames, 2, seed) for seed, frames in ((1, 256), (2, 1), (3, 64), (4, 0), (5, 1024), (6, 8192))]


@pytest.mark.parametrize("name", sorted(SURFACE.functions))
def test_functions_in_parallel_match_serial_calls(name):
    if name not in rec.FUNCTION_CALLS:
        warnings.warn(f"{name}: no call recipe; stressed with stub-shaped arguments only")
    inputs = function_inputs()
    stubs = surf.load_stubs(m)

    def call(d):
        try:
            if name in rec.FUNCTION_CALLS:
                return freeze(rec.call_function(m, name, d))
            sig = stubs.functions.get(name)
            args = [rec._default_for(p, d) for p in sig.positional] if sig else [d]
            return freeze(getattr(m, name)(*args))
        except (ValueError, TypeError, OverflowError) as e:
            if name in rec.FUNCTION_CALLS:
                raise
            return type(e).__name__

    repeats = CALLS // 4 + 1
    expected = [call(d) for d in inputs] * repeats
    results = [None] * THREADS
    run_threads(THREADS, lambda i: results.__setitem__(i, [call(d) for _ in range(repeats) for d in inputs]))
    assert all(r == expected for r in results)


@pytest.mark.parametrize("name", sorted(n for n in SURFACE.functions if n in rec.FUNCTION_CALLS))
def test_functions_while_another_thread_resizes_the_input(name):
    """The caller may not change a buffer in use, and the interpreter refuses to resize a
    bytearray with views held: either way no call may crash or read freed memory."""
    buf = bytearray(rec.pcm_block(256))
    stop = threading.Event()

    def body(i):
        if i == 0:
            n = 0
            while not stop.is_set() and n < 20000:
                n += 1
                try:
                    buf.extend(b"\0\0\0\0") if len(buf) < 8192 else buf.__delitem__(slice(0, 4096))
                except BufferError:
                    pass
            return
        try:
            for _ in range(CALLS * 5):
                try:
                    rec.call_function(m, name, buf)
                except (ValueError, BufferError):
                    pass
        finally:
            stop.set()

    run_threads(3, body)
