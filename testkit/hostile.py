"""Shared pieces of the hostile-input tests: settings, arrays of any kind, odd
scalars, and call logs that let a run be replayed and cut short.

The CI default tries a few hundred examples per kernel;
``HYPOTHESIS_PROFILE=fuzz`` (``make fuzz``) tries 25 times as many.
"""

import ctypes
import math
import os
import signal
import warnings

import numpy as np
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st

PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "ci")
ROUNDS = {"ci": 1, "fuzz": 25}[PROFILE]


def examples(n):
    """Settings for a hostile-input test that tries ``n`` examples in CI."""
    return settings(
        max_examples=n * ROUNDS,
        deadline=None,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )


# Values at the edges of every integer width, and the floats that break arithmetic.
EDGE_INTS = [
    -(2**63), -(2**32) - 1, -(2**31) - 1, -(2**31), -2, -1, 0, 1, 2, 2**31 - 1, 2**31, 2**32 + 1, 2**63 - 1,
]
EDGE_FLOATS = [0.0, -0.0, 0.5, 1.0, 2.0, -1.0, 1e-40, 1e-300, 3.4e38, 1e300, math.nan, math.inf, -math.inf]

NUMERIC_CODES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8", "c16"]
OTHER_DTYPES = ["O", "S3", "U2", "M8[s]", "V4", np.dtype([("a", "<i4"), ("b", "<f4")]), np.dtype(("<i4", (2,)))]


@st.composite
def dtypes(draw):
    """Any dtype, either byte order for the multi-byte ones."""
    if draw(st.integers(0, 5)) == 0:
        return np.dtype(draw(st.sampled_from(OTHER_DTYPES)))
    code = draw(st.sampled_from(NUMERIC_CODES))
    dtype = np.dtype(code)
    if dtype.itemsize > 1 and code != "g":
        dtype = dtype.newbyteorder(draw(st.sampled_from(["=", ">"])))
    return dtype


def filled(shape, dtype, values):
    """An array of ``shape`` and ``dtype`` holding ``values`` cast as far as they go."""
    dtype = np.dtype(dtype)
    if dtype.kind in "biufc":
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            flat = np.array([complex(v) if dtype.kind == "c" else v for v in values], dtype=object)
            out = np.empty(len(values), dtype=dtype)
            for k, v in enumerate(flat):
                try:
                    out[k] = v
                except (OverflowError, ValueError, TypeError):
                    out[k] = 0
        return out.reshape(shape)
    if dtype.kind == "O":
        return np.array(values + [None], dtype=object)[:-1].reshape(shape)
    return np.zeros(shape, dtype)


@st.composite
def views(draw, base):
    """A view of ``base``: sliced with any steps (negative ones included),
    maybe transposed, maybe read-only. Never a copy."""
    index = []
    for side in base.shape:
        step = draw(st.sampled_from([1, 1, 2, -1, -2, 3]))
        start = draw(st.integers(0, side)) if draw(st.booleans()) else None
        index.append(slice(start, None, step))
    view = base[tuple(index)] if index else base[...]
    if view.ndim > 1 and draw(st.booleans()):
        view = view.T
    if draw(st.integers(0, 3)) == 0:
        view.flags.writeable = False
    return view


def unaligned(array):
    """A writable copy of ``array`` in bytearray memory one byte past an
    aligned address: valid input, at an address no element type aligns to."""
    memory = bytearray(array.nbytes + 1)
    copy = np.frombuffer(memory, array.dtype, array.size, offset=1).reshape(array.shape)
    copy[...] = array
    return copy


def buffer_kind(obj):
    """What kind of valid buffer ``obj`` is, for the statistics of a test."""
    kind = "ctypes" if isinstance(obj, ctypes.Array) else type(obj).__name__
    memory = np.asarray(obj)
    return f"{kind}, {'aligned' if memory.ctypes.data % memory.itemsize == 0 else 'unaligned'}"


def values(edges=EDGE_INTS + EDGE_FLOATS, low=-3, high=9):
    return st.one_of(st.integers(low, high), st.sampled_from(edges))


@st.composite
def any_arrays(draw, max_dims=3, max_side=4, dtype=None, elements=None):
    """An array of any dtype, byte order, shape (zero-length included) and layout."""
    dtype = draw(dtypes()) if dtype is None else np.dtype(dtype)
    ndim = draw(st.integers(0, max_dims))
    shape = tuple(draw(st.lists(st.integers(0, max_side), min_size=ndim, max_size=ndim)))
    size = math.prod(shape)
    content = draw(st.lists(values() if elements is None else elements, min_size=size, max_size=size))
    return draw(views(filled(shape, dtype, content)))


class HostileInt:
    """An int-like entry whose conversion is scripted: ``__int__`` and
    ``__index__`` return ``value``, or raise it when it is an exception class,
    and note each use in ``log`` (a CallLog)."""

    def __init__(self, value, log):
        self.value, self.log = value, log

    def _convert(self, how):
        self.log.record("HostileInt." + how, self.value if isinstance(self.value, int) else repr(self.value))
        try:
            if isinstance(self.value, type):
                raise self.value("hostile conversion")
            return self.value
        finally:
            self.log.check_stop()

    def __int__(self):
        return self._convert("__int__")

    def __index__(self):
        return self._convert("__index__")

    def __repr__(self):
        return f"HostileInt({self.value!r})"


class BadBool:
    """A truth value that raises."""

    def __bool__(self):
        raise ZeroDivisionError("hostile truth value")


def hostile_scalars():
    """Objects handed where a number is expected: fine ones, odd ones and bad ones."""
    return st.one_of(
        st.sampled_from(EDGE_INTS + EDGE_FLOATS + [True, False, 2.9, -0.5, 2**64, 2**64 - 1]),
        st.integers(-3, 9),
        st.sampled_from([None, "3", b"3", [1], np.int64(2), np.float64(1.5), np.uint64(2**64 - 1), 3 + 0j]),
        st.sampled_from([Converts(1), Converts(2.5), Converts(ValueError), Converts(None), Converts(True)]),
    )


class Converts:
    """A number whose ``__int__`` and ``__float__`` return ``value`` (or raise it)."""

    def __init__(self, value):
        self.value = value

    def _give(self):
        if isinstance(self.value, type):
            raise self.value("hostile conversion")
        return self.value

    __int__ = __float__ = _give

    def __repr__(self):
        return f"Converts({self.value!r})"


class Abort(Exception):
    """Ends a replay at the point where the run being compared failed."""


class CallLog(list):
    """The calls the kernel made on the caller's objects, in order. With a
    ``stop_after`` count, the call that makes the log that long raises Abort
    once it has done its work (or raised its own error)."""

    def __init__(self, stop_after=None):
        super().__init__()
        self.stop_after = stop_after

    def record(self, *entry):
        self.append(entry)

    def check_stop(self):
        if self.stop_after is not None and len(self) >= self.stop_after:
            raise Abort(len(self))


def outcome_of(function, *args, **kwargs):
    """('ok', value) or ('error', exception type, message) of a call."""
    try:
        return ("ok", function(*args, **kwargs))
    except Abort:
        raise
    except Exception as exc:  # noqa: BLE001 - every failure is an outcome here
        return ("error", type(exc), str(exc))


def int_conversion(value):
    """``value`` as the kernels' integer conversion sees it: an int as it is,
    anything else through its type's __int__; None when there is no such
    conversion, it fails, or it gives no int."""
    if isinstance(value, int):
        return value
    convert = getattr(type(value), "__int__", None)
    try:
        value = convert(value) if convert else None
    except (ValueError, OverflowError):
        return None
    return value if isinstance(value, int) else None


# --- the package's own native functions -------------------------------------------------


class Subclass(np.ndarray):
    pass


def snapshot(value):
    """What an array holds, to tell whether a call changed it (None for other objects)."""
    if isinstance(value, np.ndarray) and value.dtype.kind != "O":
        return (value.dtype.str, value.shape, np.ascontiguousarray(value).tobytes())
    return None


def layouts(array):
    """``array`` itself, or its values in another layout: strided, reversed,
    unaligned, Fortran order, a subclass, read-only, the other byte order."""
    read_only = array.copy()
    read_only.flags.writeable = False
    spread = np.repeat(array, 2, axis=-1)[..., ::2] if array.ndim else array
    return st.sampled_from([
        array, spread, array[::-1].copy()[::-1] if array.ndim else array, unaligned(array) if array.size else array,
        np.asfortranarray(array), array.view(Subclass), read_only, array.astype(array.dtype.newbyteorder()),
    ])


@st.composite
def arguments(draw, valid):
    """One value per strategy of ``valid``: all valid (in any layout), or, a
    third of the time, all but one, which is an array of any kind or an odd scalar."""
    spoiled = draw(st.integers(-2 * len(valid), len(valid) - 1))
    drawn = []
    for k, strategy in enumerate(valid):
        value = draw(strategy)
        if k == spoiled:
            value = draw(st.one_of(any_arrays(max_dims=2), hostile_scalars(), st.just(None)))
        elif isinstance(value, np.ndarray) and draw(st.integers(0, 7)) == 0:
            value = draw(layouts(value))
        drawn.append(value)
    return drawn


class Interrupted(Exception):
    """Raised by the signal handler that ends a call running too long."""


def interrupt(signum, frame):
    raise Interrupted("still running after a second")


def checked_outcome(function, args, outputs=()):
    """The outcome of ``function(*args)``, which must be a result or a Python
    exception; the arrays it was given are left as they were, but for those at
    ``outputs``, which it may write on success. A call still running after a
    second (a count of 2**63 is valid) is interrupted by a signal, which it
    must heed, and then counts as failed."""
    before = [snapshot(value) for value in args]
    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 1.0)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = outcome_of(function, *args)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    event(f"outcome: {'ok' if got[0] == 'ok' else got[1].__name__}")
    after = [snapshot(value) for value in args]
    kept = range(len(args)) if got[0] == "error" else [k for k in range(len(args)) if k not in outputs]
    assert [after[k] for k in kept] == [before[k] for k in kept]
    return got
