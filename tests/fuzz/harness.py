"""The fuzz runner: calls every entry point of the module with random and adversarial arguments.

Entry points, all discovered (see `surface`): each module function; each type's constructor,
`__init__` on live objects (re-initialisation mid-stream), every method, every getter and every
setter, on objects of four kinds (made by a recipe, made by a fuzzed constructor call, made with
`T.__new__(T)` so that `__init__` never ran, and ones already released/closed/deinitialised); and
per type an episode of mixed valid and random calls on one object.

Each call runs under a watchdog (a hang dumps the stacks and exits) and after it:
- the exception, if any, must be one of the built-in types the module may raise, or the harness's
  own `FuzzError` coming back unchanged (SystemError, which the interpreter raises for a NULL
  return without an exception, fails);
- a result must match the stub's return annotation where that is a plain type;
- every plain bytearray the call borrowed must be resizable again (its views were released), at
  once for module functions and when the object is dropped for methods;
- no argument of a module function may have gained a reference (methods: see test_leaks).
A crash or a sanitizer report ends the process; `journal` names the call that was running.
"""

from __future__ import annotations

import array
import collections
import faulthandler
import gc
import io
import math
import os
import random
import re
import sys
import time
import traceback
from dataclasses import dataclass, field

from tests.fuzz import recipes as rec
from tests.fuzz import surface as surf
from tests.fuzz import values as val

ALLOWED = (ValueError, TypeError, OverflowError, IndexError, RuntimeError, MemoryError, BufferError)
RELEASERS = ("release", "close", "deinit", "__exit__")
# What a stream passes on from its file object: a missing method (AttributeError), and the
# OSError raised for a file that breaks its read/seek/tell contract.
FILE_ERRORS = (OSError, AttributeError)


# ---------------------------------------------------------------------------------------------
# Bookkeeping

@dataclass
class EntryPoint:
    label: str
    kind: str  # func, new, method, init, get, set, episode
    type_name: str | None = None
    name: str | None = None
    signature: surf.Signature | None = None
    learned: bool = False
    calls: int = 0
    outcomes: collections.Counter = field(default_factory=collections.Counter)
    slowest: float = 0.0
    corpus: list = field(default_factory=list)  # argument tuples that succeeded
    writable: frozenset = frozenset()  # positions where the valid call passes a writable buffer


@dataclass
class Failure:
    label: str
    what: str
    call: str


def short(obj, depth=0) -> str:
    """A compact description of an argument, safe to build for any harness-made object."""
    t = type(obj)
    if obj is None or t in (bool, int, float):
        r = repr(obj)
        return r if len(r) < 40 else r[:37] + "..."
    if t in (bytes, bytearray):
        return f"{t.__name__}[{len(obj)}]"
    if t is memoryview:
        try:
            return f"memoryview[{obj.nbytes}, fmt={obj.format}, shape={obj.shape}, strides={obj.strides}, ro={obj.readonly}]"
        except ValueError:
            return "memoryview(released)"
    if t is array.array:
        return f"array('{obj.typecode}')[{len(obj)}]"
    if t is str:
        return repr(obj[:20])
    if t in (list, tuple) and depth < 1:
        inner = ", ".join(short(x, depth + 1) for x in obj[:6])
        return f"{t.__name__}[{len(obj)}]({inner}{', ...' if len(obj) > 6 else ''})"
    if val.np is not None and t is val.np.ndarray:
        return f"ndarray[{obj.dtype}, shape={obj.shape}, C={obj.flags.c_contiguous}, ro={not obj.flags.writeable}]"
    if t.__module__ in ("_sonolith", "tonebay"):
        return f"<{t.__name__}>"
    if t.__module__ == val.__name__:
        return repr(obj)
    return f"<{t.__name__}>"


def describe(label, args, kwargs) -> str:
    parts = [short(a) for a in args] + [f"{k}={short(v)}" for k, v in kwargs.items()]
    return f"{label}({', '.join(parts)})"


class Journal:
    """The call in progress, kept in a file so that it survives a crash of the process."""

    def __init__(self, path: str | None):
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if path else None

    def write(self, text: str) -> None:
        if self.fd is not None:
            data = (text[:2000] + "\n").encode("utf-8", "replace")
            os.pwrite(self.fd, data.ljust(2048), 0)


def plain_bytearrays(args, kwargs):
    return [a for a in list(args) + list(kwargs.values()) if type(a) is bytearray]


def resizable(ba) -> bool:
    """Whether a bytearray or array.array can grow, i.e. no view of it is held."""
    try:
        ba.append(0)
    except BufferError:
        return False
    ba.pop()
    return True


def writable_buffer(obj) -> bool:
    if isinstance(obj, val.HostileBuffer):  # asking it would run its hostile code
        return obj.mode not in ("raise", "wrong")
    try:
        with memoryview(obj) as view:
            return not view.readonly and view.c_contiguous
    except (TypeError, ValueError):
        return False


def refcounted(args, kwargs):
    """Arguments whose reference counts are worth comparing before and after a call."""
    out = []
    for a in list(args) + list(kwargs.values()):
        if type(a).__module__ in ("_sonolith", "tonebay") or isinstance(a, type):
            continue
        out.append((a, sys.getrefcount(a)))
    return out


def result_matches(annotation: str, result) -> bool:
    plain = {"bytes": bytes, "int": int, "float": float, "bool": bool, "str": str, "None": type(None)}
    ann = annotation.strip()
    if ann in plain:
        return isinstance(result, plain[ann])
    if ann.startswith("tuple["):
        return isinstance(result, tuple)
    return True


# ---------------------------------------------------------------------------------------------
# Objects under test

@dataclass
class Live:
    obj: object
    origin: str  # recipe, fuzzed, raw
    bytearrays: list = field(default_factory=list)


class Pool:
    def __init__(self, harness: "Harness"):
        self.h = harness
        self.objects: dict[str, list[Live]] = collections.defaultdict(list)
        self.pinners: list = []  # BufferOwner objects pinning bytearrays handed out as arguments
        self.pinned: set[int] = set()
        self.borrowed: list = []  # (type name, bytearray) passed to objects since the last check

    def pinned_bytearray(self, data: bytes):
        owner_type = getattr(self.h.module, "BufferOwner", None)
        ba = bytearray(data)
        if owner_type is None:
            return ba
        try:
            owner = owner_type(ba)
        except Exception:
            return ba
        self.pinners.append((owner, ba))
        self.pinned.add(id(ba))
        if len(self.pinners) > 16:
            old_owner, old_ba = self.pinners.pop(0)
            old_owner.release()
            self.pinned.discard(id(old_ba))
        return ba

    def any_object(self, rng):
        everything = [live.obj for lives in self.objects.values() for live in lives]
        return rng.choice(everything) if everything else None

    def get(self, type_name: str, rng) -> Live:
        lives = self.objects[type_name]
        if len(lives) < 3 or rng.random() < 0.15:
            live = self.h.new_object(type_name, rng)
            lives.append(live)
            if len(lives) > 5:
                self.retire(type_name, lives.pop(rng.randrange(len(lives) - 1)))
            return live
        return rng.choice(lives)

    def add(self, type_name: str, live: Live, rng):
        lives = self.objects[type_name]
        lives.append(live)
        if len(lives) > 5:
            self.retire(type_name, lives.pop(rng.randrange(len(lives) - 1)))

    def retire(self, type_name: str, live: Live):
        """Drop an object. What it borrowed is checked once nothing else can hold it (check_released)."""
        self.borrowed.extend((type_name, ba) for ba in live.bytearrays)
        if len(self.borrowed) > 2000:
            del self.borrowed[:1000]
        live.obj = None
        live.bytearrays = []

    def check_released(self):
        """With every object dropped and every pin released, every bytearray passed to a type
        must be resizable again."""
        self.retire_all()
        gc.collect()
        seen = set()
        for type_name, ba in self.borrowed:
            if id(ba) in seen:
                continue
            seen.add(id(ba))
            if not resizable(ba):
                holders = [type(r).__name__ for r in gc.get_referrers(ba)]
                alive = [o for o in gc.get_objects() if type(o).__module__ in ("_sonolith", "tonebay")]
                if self.h.verbose:
                    for o in alive:
                        print("alive:", o, [type(r).__name__ + ":" + short(r)[:300] for r in gc.get_referrers(o)], file=sys.stderr)
                self.h.fail(f"{type_name} (dropped)", "a bytearray stays borrowed after the object is gone",
                            f"bytearray[{len(ba)}]; referrers {holders}; {len(alive)} module objects alive")
        self.borrowed.clear()
        for exporter in rec.HANDED_OUT:
            if not resizable(exporter):
                self.h.fail("recipe exporter (dropped)", "a buffer handed to an object stays borrowed after the object is gone",
                            f"{short(exporter)}")
        rec.HANDED_OUT.clear()

    def retire_all(self):
        for type_name, lives in self.objects.items():
            while lives:
                self.retire(type_name, lives.pop())
        for owner, _ba in self.pinners:
            owner.release()
        self.pinners.clear()
        self.pinned.clear()


# ---------------------------------------------------------------------------------------------
# Learning the shape of an entry point the stubs do not describe

class _Sentinel:
    def __bool__(self):
        raise TypeError("_Sentinel has no truth value")

    def __repr__(self):
        return "_Sentinel()"


_ARITY = re.compile(r"takes (exactly|at least|at most|from) (\w+)(?: to (\d+))? (?:positional )?argument")
_WORDS = {"one": 1, "two": 2, "three": 3, "four": 4, "no": 0}


def learn_shape(call) -> surf.Signature:
    """Arity and per-position kinds learned by probing `call(*args)`: a wrong kind is reported
    for its position before the parser reaches the next one, which holds a sentinel."""
    try:
        call()
        arity = 0
    except TypeError as e:
        msg = str(e)
        m = _ARITY.search(msg)
        if "takes no arguments" in msg:
            arity = 0
        elif m:
            arity = _WORDS.get(m.group(2), None)
            if arity is None:
                arity = int(m.group(2)) if m.group(2).isdigit() else 1
        elif "exactly one argument" in msg:
            arity = 1
        else:
            arity = 1
    except Exception:
        arity = 0
    candidates = [("buffer", rec.pcm_block(64)), ("float", 0.5), ("int", 2), ("any", None)]
    params = []
    known: list = []
    for pos in range(min(arity, 16)):
        kind = "any"
        for name, value in candidates:
            try:
                call(*known, value, *[_Sentinel()] * (arity - pos - 1))
                kind = name
                break
            except TypeError as e:
                if "_Sentinel" in str(e) or "argument" in str(e) and "given" in str(e):
                    kind = name
                    break
            except Exception:
                kind = name
                break
        known.append(dict(candidates)[kind])
        annotation = {"buffer": "Buffer", "float": "float", "int": "int"}.get(kind, "Any")
        params.append(surf.Param(f"arg{pos}", "pos", annotation, False))
    return surf.Signature(params)


# ---------------------------------------------------------------------------------------------
# The harness

class Harness:
    def __init__(self, module, seed=0, seconds=60.0, call_timeout=60.0, journal=None, only=None,
                 min_calls=30, verbose=False):
        self.module = module
        self.rng = random.Random(seed)
        self.seed = seed
        self.seconds = seconds
        self.call_timeout = call_timeout
        self.journal = Journal(journal)
        self.min_calls = min_calls
        self.verbose = verbose
        self.stubs = surf.load_stubs(module)
        self.surface = surf.discover(module)
        self.pool = Pool(self)
        self.failures: list[Failure] = []
        self.ogg = rec.ogg_sample()
        self.recipes = {name: rec.recipe_for(module, name) for name in self.surface.types}
        self.entry_points = self._entry_points(only)
        self.current_args = ()
        self.unraisable = 0
        self.elapsed = 0.0

    # -- discovery ------------------------------------------------------------------------------

    def _signature(self, type_name, name, call_for_learning):
        if type_name is None:
            sig = self.stubs.functions.get(name)
        else:
            ts = self.stubs.types.get(type_name)
            sig = ts.methods.get(name) if ts else None
        if sig is not None:
            return sig, False
        return learn_shape(call_for_learning), True

    def _entry_points(self, only):
        eps = []
        for name, fn in self.surface.functions.items():
            sig, learned = self._signature(None, name, lambda *a, fn=fn: fn(*a))
            writable = frozenset()
            if name in rec.FUNCTION_CALLS:
                valid = rec.FUNCTION_CALLS[name](rec.pcm_block(4))
                writable = frozenset(i for i, a in enumerate(valid) if writable_buffer(a))
            eps.append(EntryPoint(name, "func", None, name, sig, learned, writable=writable))
        for type_name, ts in self.surface.types.items():
            cls = ts.type
            probe = self._probe_object(type_name)
            init_sig, learned = self._signature(type_name, "__init__", lambda *a, c=cls: c(*a))
            eps.append(EntryPoint(f"{type_name}()", "new", type_name, "__init__", init_sig, learned))
            if ts.has_init:
                eps.append(EntryPoint(f"{type_name}.__init__", "init", type_name, "__init__", init_sig, learned))
            for meth in ts.methods:
                sig, learned = self._signature(type_name, meth,
                                               lambda *a, o=probe, m=meth: getattr(o, m)(*a))
                eps.append(EntryPoint(f"{type_name}.{meth}", "method", type_name, meth, sig, learned))
            for attr in ts.getters:
                eps.append(EntryPoint(f"{type_name}.{attr} (get)", "get", type_name, attr))
            stub = self.stubs.types.get(type_name)
            for attr in ts.setters:
                ann = stub.attributes[attr].annotation if stub and attr in stub.attributes else ""
                eps.append(EntryPoint(f"{type_name}.{attr} (set)", "set", type_name, attr,
                                      surf.Signature([surf.Param("value", "pos", ann, False)])))
            eps.append(EntryPoint(f"{type_name} (episode)", "episode", type_name))
        if only:
            eps = [ep for ep in eps if re.search(only, ep.label)]
        return eps

    def _probe_object(self, type_name):
        recipe = self.recipes.get(type_name)
        if recipe is not None:
            try:
                return recipe.make(self.module)
            except Exception:
                pass
        cls = self.surface.types[type_name].type
        return cls.__new__(cls)

    # -- objects ----------------------------------------------------------------------------------

    def new_object(self, type_name, rng) -> Live:
        cls = self.surface.types[type_name].type
        recipe = self.recipes.get(type_name)
        if recipe is not None and rng.random() < 0.6:
            try:
                return Live(recipe.make(self.module), "recipe")
            except Exception as e:
                if not recipe.generic and type(e) not in ALLOWED:
                    self.fail(f"{type_name} (recipe)", f"{type(e).__name__}: {e}", "recipe.make")
        return Live(cls.__new__(cls), "raw")

    def fail(self, label, what, call):
        self.failures.append(Failure(label, what, call))
        if self.verbose or len(self.failures) <= 50:
            print(f"FAIL {label}: {what}\n     {call}", file=sys.stderr, flush=True)

    # -- argument making --------------------------------------------------------------------------

    def value_for(self, param: surf.Param | None, rng, length, writable=False):
        tags = param.tags if param is not None else {"any"}
        if rng.random() < 0.1:
            return val.anything(rng, self.pool, self.ogg)
        choices = sorted(tags - {"none"}) or ["any"]
        if "none" in tags and rng.random() < 0.25:
            return None
        tag = rng.choice(choices)
        if tag == "buffer":
            n = length if rng.random() < 0.75 else rng.choice([length * 2, length // 2, length + 1, 0, val.size(rng)])
            if not writable:
                return val.buffer(rng, max(n, 0), pool=self.pool)
            for _ in range(8):
                value = val.buffer(rng, max(n, 0), writable=True, pool=self.pool)
                if writable_buffer(value):
                    break
            return value
        if tag == "int":
            return val.integer(rng)
        if tag == "float":
            return val.real(rng)
        if tag == "bool":
            return val.truth(rng)
        if tag == "sequence":
            return val.sequence(rng)
        if tag == "file":
            return val.FuzzFile(rng, val.file_data(rng, self.ogg))
        if tag == "str":
            return rng.choice(["", "x", "h", "B", "\udcff"])
        return val.anything(rng, self.pool, self.ogg)

    def fresh_args(self, sig: surf.Signature | None, rng, writable=frozenset()):
        length = rng.choice([0, 2, 4, 8, 512, 1024, 1024, 1024, 4096, val.size(rng)])
        args, kwargs = [], {}
        params = sig.params if sig is not None else [None] * rng.randrange(0, 6)
        by_keyword = False
        # Where the valid call writes to buffers, most calls get writable ones there, so that they
        # get past the argument conversion (the others test it).
        if rng.random() < 0.25:
            writable = frozenset()
        for p in params:
            if p is not None and p.kind == "starstar":
                continue
            if p is not None and p.kind == "star":
                args.extend(val.anything(rng, self.pool, self.ogg) for _ in range(rng.randrange(0, 4)))
                continue
            if p is not None and p.has_default and rng.random() < 0.35:
                by_keyword = True  # a later argument must go by keyword, if at all
                continue
            value = self.value_for(p, rng, length, len(args) in writable)
            if p is not None and (p.kind == "kw" or (p.kind == "either" and (by_keyword or rng.random() < 0.2))):
                kwargs[p.name] = value
            elif not by_keyword:
                args.append(value)
        return self.mutate_shape(args, kwargs, rng)

    def mutate_shape(self, args, kwargs, rng):
        r = rng.random()
        if r < 0.04 and args:
            args.pop(rng.randrange(len(args)))
        elif r < 0.08:
            args.insert(rng.randrange(len(args) + 1), val.anything(rng, self.pool, self.ogg))
        elif r < 0.1:
            kwargs[rng.choice(["bogus", "self", "sample_rate", "channel_count", "frames"])] = val.integer(rng)
        return tuple(args), kwargs

    def mutated(self, template, sig, rng):
        args, kwargs = list(template[0]), dict(template[1])
        for _ in range(rng.choice([1, 1, 1, 2, 3])):
            if not args:
                break
            i = rng.randrange(len(args))
            old = args[i]
            param = sig.positional[i] if sig is not None and i < len(sig.positional) else None
            if isinstance(old, (bytes, bytearray, memoryview, array.array)) or (
                    val.np is not None and isinstance(old, val.np.ndarray)):
                n = memoryview(old).nbytes if not isinstance(old, array.array) else len(old) * old.itemsize
                n = max(rng.choice([n, n, n + 1, n - 1, n * 2, n // 2, 0, n + 2, n + 4]), 0)
                if isinstance(old, array.array) and rng.random() < 0.5:
                    # A typed buffer (a wavetable, say) mostly keeps its format: other formats
                    # only reach the validation.
                    a = array.array(old.typecode)
                    a.frombytes(val.pcm_bytes(rng, n - n % old.itemsize))
                    args[i] = a
                else:
                    # A buffer the call writes to mostly stays writable (read-only ones only
                    # reach the argument conversion).
                    args[i] = val.buffer(rng, n, writable=writable_buffer(old) or None, pool=self.pool)
            elif isinstance(old, bool):
                args[i] = val.truth(rng)
            elif isinstance(old, int):
                # The scaled value leaves 32 bits (it probes size products and truncations). A
                # smaller factor would land small counts in the range that allocates and then
                # legitimately works for minutes under the sanitizers, and trip the watchdog.
                wide = old * (2**16 if abs(old) >= 2**16 else 2**32)
                args[i] = rng.choice([val.integer(rng), old + rng.choice([-1, 1]), -old, wide])
            elif isinstance(old, float):
                args[i] = val.real(rng)
            else:
                args[i] = self.value_for(param, rng, 1024)
        if rng.random() < 0.05:
            return self.mutate_shape(args, kwargs, rng)
        return tuple(args), kwargs

    def remember(self, ep: EntryPoint, args, kwargs):
        """Keep a successful call's arguments for later mutation, unless they hold module objects
        (the corpus would keep them, and what they borrowed, alive)."""
        if len(ep.corpus) >= 40:
            return
        if any(type(a).__module__ in ("_sonolith", "tonebay") for a in list(args) + list(kwargs.values())):
            return
        ep.corpus.append((args, kwargs))

    def args_for(self, ep: EntryPoint, rng, template=None):
        corpus = ep.corpus
        if template is not None and rng.random() < 0.6:
            return self.mutated(template, ep.signature, rng)
        if corpus and rng.random() < 0.4:
            return self.mutated(rng.choice(corpus), ep.signature, rng)
        return self.fresh_args(ep.signature, rng, ep.writable)

    # -- calling ----------------------------------------------------------------------------------

    def invoke(self, ep: EntryPoint, fn, args, kwargs, live: Live | None = None, expect_attr=False,
               label=None):
        label = label or ep.label
        text = None
        self.journal.write(f"seed={self.seed} {describe(label, args, kwargs)}")
        before = refcounted(args, kwargs)
        val.Reentry.file_read_raised = False
        self.current_args = args
        faulthandler.dump_traceback_later(self.call_timeout, exit=True)
        start = time.perf_counter()
        ok = False
        try:
            result = fn(*args, **kwargs)
            ok = True
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:
            result = None
            kind = type(exc)
            if kind in ALLOWED or (expect_attr and kind is AttributeError):
                ep.outcomes[kind.__name__] += 1
                if kind is RuntimeError and val.Reentry.file_read_raised and not str(exc).startswith(
                        ("re-entrant", "reentrant")) and "busy" not in str(exc) and "in use" not in str(exc):
                    text = f"RuntimeError {exc!s} replaced the file's own exception"
            elif val.is_own_error(exc):
                ep.outcomes["FuzzError"] += 1
            elif kind is NotImplementedError and any(isinstance(a, memoryview) and a.ndim > 1
                                                     for a in list(args) + list(kwargs.values())):
                # A multi-dimensional memoryview taken as a sequence of numbers: its own item
                # access refuses (the argument's error, passed on like any other it raises).
                ep.outcomes[kind.__name__] += 1
            elif label.startswith("VorbisStream") and isinstance(exc, FILE_ERRORS):
                ep.outcomes[kind.__name__] += 1
            else:
                text = f"{kind.__name__}: {exc}"
                if self.verbose:
                    traceback.print_exc()
            del exc
        finally:
            faulthandler.cancel_dump_traceback_later()
            val.Reentry.hook = None
            self.current_args = ()
        elapsed = time.perf_counter() - start
        ep.calls += 1
        ep.slowest = max(ep.slowest, elapsed)
        if ok:
            ep.outcomes["ok"] += 1
            sig = ep.signature
            if sig is not None and sig.returns and not result_matches(sig.returns, result):
                text = f"returned {type(result).__name__}, the stubs say {sig.returns}"
        if text is not None:
            self.fail(label, text, describe(label, args, kwargs))
        del result
        # Reference counts first: the lists below hold references of their own.
        gained = [(a, count) for a, count in before if sys.getrefcount(a) > count]
        if live is None:
            if gained:
                gc.collect()
            for a, count in gained:
                if sys.getrefcount(a) > count + 1:  # + 1: the reference held by `gained`
                    self.fail(label, f"argument {short(a)} gained a reference ({count} -> {sys.getrefcount(a) - 1})",
                              describe(label, args, kwargs))
            for ba in plain_bytearrays(args, kwargs):
                if id(ba) not in self.pool.pinned and not resizable(ba):
                    self.fail(label, "a bytearray argument stays borrowed after the call", describe(label, args, kwargs))
        else:
            live.bytearrays.extend(plain_bytearrays(args, kwargs))
            if len(live.bytearrays) > 64:
                del live.bytearrays[:32]
        return ok

    def reentry_hook(self, target, type_name):
        """Hostile argument code calls back into the object under test or resizes arguments."""
        recipe = self.recipes.get(type_name) if type_name else None

        def hook(rng):
            r = rng.random()
            if r < 0.3:
                for a in self.current_args:
                    if type(a) is bytearray:
                        try:
                            a.extend(b"\0" * rng.choice([1, 2, 1000]))
                        except BufferError:
                            pass
                return
            if target is None:
                gc.collect()
                return
            if r < 0.55 and recipe is not None and recipe.reinit is not None:
                recipe.reinit(target)
            elif r < 0.8 and recipe is not None:
                recipe.work(target, rec.pcm_block(rng.choice([1, 64, 256])))
            else:
                names = [n for n in self.surface.types[type_name].methods if not n.startswith("__")]
                if names:
                    getattr(target, rng.choice(names))()
        return hook

    # -- entry point kinds ------------------------------------------------------------------------

    def run_one(self, ep: EntryPoint, rng):
        m = self.module
        if ep.kind == "func":
            fn = getattr(m, ep.name)
            template = None
            if ep.name in rec.FUNCTION_CALLS and rng.random() < 0.7:
                template = (rec.FUNCTION_CALLS[ep.name](rec.pcm_block(rng.choice([0, 1, 3, 64, 256]))), {})
            args, kwargs = self.args_for(ep, rng, template)
            val.Reentry.hook = self.reentry_hook(None, None)
            if self.invoke(ep, fn, args, kwargs):
                self.remember(ep, args, kwargs)
        elif ep.kind == "new":
            cls = self.surface.types[ep.type_name].type
            args, kwargs = self.args_for(ep, rng)
            holder = []

            def construct(*a, **k):
                holder.append(cls(*a, **k))
                return None
            if self.invoke(ep, construct, args, kwargs, live=Live(None, "new")):
                live = Live(holder.pop(), "fuzzed", plain_bytearrays(args, kwargs))
                self.remember(ep, args, kwargs)
                self.pool.add(ep.type_name, live, rng)
            holder.clear()
        elif ep.kind in ("init", "method"):
            live = self.pool.get(ep.type_name, rng)
            target = live.obj
            fn = getattr(target, ep.name)
            args, kwargs = self.args_for(ep, rng)
            val.Reentry.hook = self.reentry_hook(target, ep.type_name)
            if self.invoke(ep, fn, args, kwargs, live):
                self.remember(ep, args, kwargs)
            del fn, target
        elif ep.kind == "get":
            live = self.pool.get(ep.type_name, rng)
            self.invoke(ep, getattr, (live.obj, ep.name), {}, live)
        elif ep.kind == "set":
            live = self.pool.get(ep.type_name, rng)
            if rng.random() < 0.1:
                self.invoke(ep, delattr, (live.obj, ep.name), {}, live, expect_attr=True)
            else:
                args, _ = self.fresh_args(ep.signature, rng)
                value = args[0] if args else None
                self.invoke(ep, setattr, (live.obj, ep.name, value), {}, live, expect_attr=True)
        elif ep.kind == "episode":
            self.episode(ep, rng)

    def episode(self, ep: EntryPoint, rng):
        """One object through a stream of valid work, random calls, re-initialisation mid-stream,
        releases and attribute reads; then it is dropped and checked."""
        type_name = ep.type_name
        recipe = self.recipes.get(type_name)
        live = self.h_new_live(type_name, rng)
        ts = self.surface.types[type_name]
        methods = {e.name: e for e in self.entry_points if e.type_name == type_name and e.kind in ("method", "init")}
        data = rec.pcm_block(rng.choice([1, 16, 256]), 2, rng.randrange(1, 9))
        for _ in range(rng.randrange(4, 24)):
            r = rng.random()
            obj = live.obj
            if r < 0.4 and recipe is not None:
                self.invoke(ep, recipe.work, (obj, data), {}, live, label=f"{type_name} (episode work)")
            elif r < 0.5 and recipe is not None and recipe.reinit is not None:
                self.invoke(ep, recipe.reinit, (obj,), {}, live, label=f"{type_name} (episode re-init)")
            elif r < 0.8 and methods:
                mep = methods[rng.choice(sorted(methods))]
                args, kwargs = self.args_for(mep, rng)
                val.Reentry.hook = self.reentry_hook(obj, type_name)
                self.invoke(ep, getattr(obj, mep.name), args, kwargs, live, label=f"{type_name}.{mep.name} (episode)")
            elif r < 0.9 and ts.getters:
                self.invoke(ep, getattr, (obj, rng.choice(ts.getters)), {}, live, label=f"{type_name} (episode get)")
            else:
                name = rng.choice([n for n in RELEASERS if n in ts.methods] or ["__class__"])
                if name != "__class__":
                    self.invoke(ep, getattr(obj, name), (), {}, live, label=f"{type_name}.{name} (episode)")
            del obj
        self.pool.retire(type_name, live)

    def h_new_live(self, type_name, rng):
        recipe = self.recipes.get(type_name)
        if recipe is not None:
            try:
                return Live(recipe.make(self.module), "recipe")
            except Exception:
                pass
        return self.new_object(type_name, rng)

    # -- driver -----------------------------------------------------------------------------------

    def run(self):
        old_hook = sys.unraisablehook

        def count_unraisable(unraisable):
            self.unraisable += 1
        sys.unraisablehook = count_unraisable
        rec.TRACK_HANDED_OUT = True
        start = time.monotonic()
        deadline = start + self.seconds
        rounds = 0
        try:
            while True:
                for ep in self.entry_points:
                    rng = random.Random(f"{self.seed}:{ep.label}:{rounds}")
                    for _ in range(1 if ep.kind == "episode" else 6):
                        self.run_one(ep, rng)
                rounds += 1
                if rounds % 8 == 0:
                    self.pool.check_released()
                if time.monotonic() >= deadline and all(ep.calls >= self.min_calls for ep in self.entry_points):
                    break
        finally:
            sys.unraisablehook = old_hook
            self.pool.check_released()
            rec.TRACK_HANDED_OUT = False
        self.elapsed = time.monotonic() - start
        return not self.failures

    def report(self) -> str:
        lines = [f"fuzz: seed {self.seed}, {sum(ep.calls for ep in self.entry_points)} calls over "
                 f"{len(self.entry_points)} entry points in {self.elapsed:.1f} s"
                 f" ({'sanitized' if surf.is_sanitized() else 'plain'} build)"]
        width = max(len(ep.label) for ep in self.entry_points) if self.entry_points else 10
        for ep in self.entry_points:
            outcomes = ", ".join(f"{k} {v}" for k, v in ep.outcomes.most_common())
            learned = " [shape learned]" if ep.learned else ""
            lines.append(f"  {ep.label:<{width}} {ep.calls:>7}  slowest {ep.slowest * 1000:7.1f} ms  {outcomes}{learned}")
        missing = [name for name, r in self.recipes.items() if r is None or r.generic]
        if missing:
            lines.append(f"types without a recipe (generic calls only): {', '.join(missing)}")
        if self.unraisable:
            lines.append(f"unraisable exceptions from harness objects (ignored): {self.unraisable}")
        lines.append(f"failures: {len(self.failures)}")
        for f in self.failures[:100]:
            lines.append(f"  {f.label}: {f.what}\n      {f.call}")
        return "\n".join(lines)
