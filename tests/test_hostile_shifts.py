"""class_shifts and shifted_argmax under hostile input: each call ends in a
result or a Python exception, leaves its inputs as they were (class_shifts
writes the shifts on success only), and gives what the same steps give in
NumPy."""

import math

import numpy as np
from hostile import arguments, checked_outcome, examples
from hypothesis import given
from hypothesis import strategies as st

from velorn._native import class_shifts as ts

SCORES = [0.0, 1.0, -1.0, 0.5, 2.0, -math.inf]


@st.composite
def tables(draw, extra=()):
    m, c = draw(st.integers(0, 5)), draw(st.integers(0, 4))
    scores = np.array(draw(st.lists(st.sampled_from(SCORES + list(extra)), min_size=m * c, max_size=m * c)))
    shifts = np.array(draw(st.lists(st.sampled_from([0.0, 0.25, -1.0]), min_size=c, max_size=c)))
    return scores.reshape(m, c), shifts


@examples(200)
@given(tables(extra=[math.nan, math.inf]).flatmap(lambda t: arguments([st.just(t[0]), st.just(t[1])])))
def test_shifted_argmax_answers_or_raises_as_numpy(args):
    got = checked_outcome(ts.shifted_argmax, args)
    if got[0] == "ok":
        assert got[1].tolist() == (args[0] + args[1]).argmax(axis=1).tolist()


def plain_class_shifts(scores, prior, shifts, step, rounds):
    for _ in range(rounds):
        shares = np.bincount((scores + shifts).argmax(axis=1), minlength=len(shifts)) / len(scores)
        shifts = shifts + step * (prior - shares)
    return shifts


@st.composite
def shift_calls(draw):
    scores, shifts = draw(tables())
    prior = np.full(len(shifts), 1.0 / max(len(shifts), 1))
    return draw(arguments([st.just(scores), st.just(prior), st.just(shifts), st.sampled_from([0.1, 1.0]),
                           st.integers(0, 4)]))


@examples(200)
@given(shift_calls())
def test_class_shifts_answers_or_raises_as_numpy(args):
    before = np.array(args[2], copy=True) if isinstance(args[2], np.ndarray) else None
    got = checked_outcome(ts.class_shifts, args, outputs=[2])
    if got[0] == "ok":
        assert args[2].tolist() == plain_class_shifts(args[0], args[1], before, float(args[3]), int(args[4])).tolist()
