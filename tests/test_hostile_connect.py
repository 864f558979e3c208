"""connect_unlabeled under hostile input: every call ends in a result or a
Python exception, and after an exception the containers hold exactly the edges
the plain-Python version had added by the same point.

Every call the kernel makes on the caller's objects (container methods, table
indexing of table subclasses, conversions of odd node entries, truth values of
odd flags) goes into one log. The plain-Python version replays the case on
fresh objects; when the native run failed after K logged calls, the replay
stops right after its K-th call, and logs, containers and inputs must match.
"""

import random
import warnings
from dataclasses import dataclass

import numpy as np
from hypothesis import event, given
from hypothesis import strategies as st

import reference
from examples import container_rows
from hostile import EDGE_INTS, Abort, BadBool, CallLog, HostileInt, any_arrays, examples, outcome_of
from velorn import GraphWrapper
from velorn.algorithms.src.tolmar.binaries import tolmar_connect as module

connect = module.connect_unlabeled

NORMAL = "normal"
# Each knob lists its normal setting first and several times, so that most
# cases are mostly well-formed and reach deep into the algorithm.
TABLE_KINDS = [NORMAL] * 6 + ["strided", "fortran", "reversed", "read-only", "subclass", "fewer rows",
                              "wrong dtype", "1-d", "None", "big-endian", "any array"]
LABEL_KINDS = [NORMAL] * 6 + ["bool", "strided", "reversed", "read-only", "short", "long", "int8", "None",
                              "any array"]
ENTRY_KINDS = [NORMAL] * 12 + ["numpy int", "hostile int", "hostile raising", "hostile float", "bool", "float",
                               "huge", "negative", "too large", "str"]
FLAG_KINDS = [NORMAL] * 8 + ["numpy bool", "int", "None", "str", "bad truth", "array"]
PAIR_KINDS = [NORMAL] * 8 + ["list", "pair object", "short", "None"]
NODE_LIST_KINDS = [NORMAL] * 8 + ["tuple", "None", "list subclass"]
EVENTS = ["raise", "re-enter", "bad truth", "array truth", "None", "append to self", "re-enter", "clear components",
          "grow components", "shrink a node list", "rewrite labels", "rewrite knn", "reshape knn",
          "retype knn"]


class Table(np.ndarray):
    """A table subclass whose row indexing is logged (rows are not)."""

    log = None

    def __getitem__(self, index):
        if self.ndim == 2 and Table.log is not None:
            Table.log.record("table", index)
            try:
                return super().__getitem__(index)
            finally:
                Table.log.check_stop()
        return super().__getitem__(index)


class NodeList(list):
    pass


class Pair:
    """A (nodes, flag) pair read through a logged __getitem__."""

    def __init__(self, nodes, flag, log):
        self.items, self.log = (nodes, flag), log

    def __getitem__(self, index):
        self.log.record("pair", index)
        try:
            return self.items[index]
        finally:
            self.log.check_stop()

    def __repr__(self):
        return f"Pair{self.items!r}"


class LoggedBadBool(BadBool):
    def __init__(self, log):
        self.log = log

    def __bool__(self):
        self.log.record("bool")
        try:
            return super().__bool__()
        finally:
            self.log.check_stop()

    def __repr__(self):
        return "LoggedBadBool()"


@dataclass
class Case:
    knn: list
    knn_weights: list
    knn_kind: str
    weights_kind: str
    components: list  # (pair kind, node-list kind, [(entry kind, node)], flag kind, labelled)
    labels: list
    label_kind: str
    edges: list
    events: dict  # call number -> event
    clean: bool


@st.composite
def cases(draw):
    # Calm cases are well-formed, so that the deep paths get their share.
    mood = draw(st.sampled_from(["calm", "events", "events", "hostile", "hostile"]))

    def knob(kinds):
        return draw(st.sampled_from(kinds)) if mood == "hostile" else NORMAL

    n = draw(st.integers(1, 8)) if draw(st.integers(0, 9)) else 0
    k = draw(st.integers(1, 3))
    bad_ids = mood == "hostile" and draw(st.booleans())
    node = st.integers(0, n - 1) if n else st.nothing()
    neighbour = st.one_of(node, st.sampled_from(EDGE_INTS)) if bad_ids or not n else node
    knn = [[draw(neighbour) for _ in range(k)] for _ in range(n)]
    k_weights = k - (mood == "hostile" and draw(st.integers(0, 2)) == 0)
    weight = st.sampled_from([0.1, 0.5, 1.0, 2.5, 7.25, 0.0, float("nan"), float("inf")])
    knn_weights = [[draw(weight) for _ in range(k_weights)] for _ in range(n)]

    nodes = list(range(n))
    random.Random(draw(st.integers(0, 2**16))).shuffle(nodes)
    if nodes and draw(st.integers(0, 5)) == 0:
        nodes.pop()  # a node in no component
    components = []
    while nodes:
        size = draw(st.integers(0, 3))
        group, nodes = nodes[:size], nodes[size:]
        entries = [(knob(ENTRY_KINDS), v) for v in group]
        components.append((knob(PAIR_KINDS), knob(NODE_LIST_KINDS), entries, knob(FLAG_KINDS),
                           draw(st.integers(0, 3)) == 0))
    labels = [0] * n
    for _, _, entries, _, labelled in components:
        for _, v in entries:
            labels[v] = int(labelled)
    edges = draw(st.lists(st.tuples(node, node), max_size=2)) if n else []
    events = {}
    if mood != "calm":
        events = draw(st.dictionaries(st.integers(0, 3), st.sampled_from(EVENTS), min_size=1, max_size=2))
    knobs = [knob(TABLE_KINDS), knob(TABLE_KINDS), knob(LABEL_KINDS)]
    normal_components = all(
        pair == NORMAL and nodes_kind == NORMAL and flag == NORMAL and all(kind == NORMAL for kind, _ in entries)
        for pair, nodes_kind, entries, flag, _ in components
    )
    clean = not bad_ids and k_weights == k and not events and normal_components and knobs == [NORMAL] * 3
    return Case(knn, knn_weights, knobs[0], knobs[1], components, labels, knobs[2], edges, events, clean)


def make_table(values, columns, dtype, kind, data):
    table = np.array(values, dtype).reshape(len(values), columns)
    if kind == "strided":
        return np.repeat(table, 2, axis=1)[:, ::2]
    if kind == "fortran":
        return np.asfortranarray(table)
    if kind == "reversed":
        return np.ascontiguousarray(table[::-1, ::-1])[::-1, ::-1]
    if kind == "read-only":
        table.flags.writeable = False
    elif kind == "subclass":
        return table.view(Table)
    elif kind == "fewer rows":
        return table[:-1]
    elif kind == "wrong dtype":
        return table.astype(np.int32 if dtype == np.int64 else np.float64)
    elif kind == "1-d":
        return table.ravel()
    elif kind == "None":
        return None
    elif kind == "big-endian":
        return table.astype(table.dtype.newbyteorder(">"))
    elif kind == "any array":
        return data
    return table


def make_labels(values, kind, data):
    labels = np.array(values, np.uint8)
    if kind == "bool":
        return labels.astype(bool)
    if kind == "strided":
        return np.repeat(labels, 2)[::2]
    if kind == "reversed":
        return np.ascontiguousarray(labels[::-1])[::-1]
    if kind == "read-only":
        labels.flags.writeable = False
    elif kind == "short":
        return labels[:-1]
    elif kind == "long":
        return np.append(labels, 0)
    elif kind == "int8":
        return labels.astype(np.int8)
    elif kind == "None":
        return None
    elif kind == "any array":
        return data
    return labels


def make_entry(kind, node, log):
    return {
        "numpy int": lambda: np.int64(node),
        "hostile int": lambda: HostileInt(node, log),
        "hostile raising": lambda: HostileInt(ArithmeticError, log),
        "hostile float": lambda: HostileInt(float(node), log),
        "bool": lambda: bool(node % 2),
        "float": lambda: float(node),
        "huge": lambda: 2**31 + node,
        "negative": lambda: -1 - node,
        "too large": lambda: 1000 + node,
        "str": lambda: str(node),
    }.get(kind, lambda: node)()


def make_flag(kind, labelled, log):
    return {
        "numpy bool": lambda: np.bool_(labelled),
        "int": lambda: int(labelled),
        "None": lambda: None,
        "str": lambda: "yes" if labelled else "",
        "bad truth": lambda: LoggedBadBool(log),
        "array": lambda: np.array([labelled, labelled]),
    }.get(kind, lambda: labelled)()


def make_components(case, log):
    components = []
    for pair_kind, list_kind, entries, flag_kind, labelled in case.components:
        nodes = [make_entry(kind, v, log) for kind, v in entries]
        nodes = {"tuple": tuple, "None": lambda _: None, "list subclass": NodeList}.get(list_kind, list)(nodes)
        flag = make_flag(flag_kind, labelled, log)
        components.append({
            "list": lambda: [nodes, flag],
            "pair object": lambda: Pair(nodes, flag, log),
            "short": lambda: (nodes,),
            "None": lambda: None,
        }.get(pair_kind, lambda: (nodes, flag))())
    return components


class Container:
    def __init__(self, world, name, dtype, n):
        self.world, self.name = world, name
        self.inner = GraphWrapper.empty(n, dtype)

    def contains(self, i, j):
        return self.world.call(self, "contains", i, j)

    def append(self, i, value):
        return self.world.call(self, "append", i, value)


class World:
    """One run of a kernel on fresh objects built from a case."""

    def __init__(self, case, function, data, stop_after=None):
        self.case, self.function = case, function
        self.log = CallLog(stop_after)
        self.calls = 0
        self.depth = 0
        self.fired = []
        n = len(case.labels)
        self.connections = Container(self, "connections", np.int64, n)
        self.weights = Container(self, "weights", np.float32, n)
        for a, b in case.edges:
            self.connections.inner.append(a, b)
            self.weights.inner.append(a, 9.0)
        self.args = [
            make_table(case.knn, len(case.knn[0]) if case.knn else 0, np.int64, case.knn_kind, data[0]),
            make_table(case.knn_weights, len(case.knn_weights[0]) if case.knn_weights else 0, np.float32,
                       case.weights_kind, data[1]),
            make_components(case, self.log),
            make_labels(case.labels, case.label_kind, data[2]),
            self.connections,
            self.weights,
        ]

    def call(self, container, method, *args):
        event = self.case.events.get(self.calls)
        self.calls += 1
        self.log.record(container.name, method, args)
        if event:
            self.fired.append(event)
        try:
            return self.serve(container, method, args, event)
        finally:
            self.log.check_stop()

    def serve(self, container, method, args, event):
        knn, components, labels = self.args[0], self.args[2], self.args[3]
        if event == "raise":
            raise RuntimeError(f"hostile {method}")
        if event == "re-enter" and not self.depth:
            self.depth += 1
            try:
                self.function(*self.args)
            finally:
                self.depth -= 1
        elif event == "append to self":
            container.inner.append(args[0], args[0] if container.name == "connections" else 0.5)
        elif event == "clear components":
            components.clear()
        elif event == "grow components" and self.case.labels:
            components.append(([0], False))
        elif event == "shrink a node list":
            for pair in components:
                if type(pair) is tuple and pair and type(pair[0]) is list and pair[0]:
                    pair[0].pop()
                    break
        elif event == "rewrite labels" and isinstance(labels, np.ndarray) and labels.flags.writeable:
            labels[...] = labels[::-1]
        elif event == "rewrite knn" and isinstance(knn, np.ndarray) and knn.flags.writeable:
            knn[...] = knn[::-1]
        elif event == "reshape knn" and isinstance(knn, np.ndarray):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                knn.shape = (-1,)
        elif event == "retype knn" and isinstance(knn, np.ndarray) and knn.dtype.itemsize == 8:
            # Same item size, other element type: rows read after this must be refused.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                knn.dtype = np.float64 if knn.dtype.kind != "f" else np.int64
        result = getattr(container.inner, method)(*args)
        if method == "contains":
            result = {"bad truth": lambda: LoggedBadBool(self.log), "array truth": lambda: np.array([1, 2]),
                      "None": lambda: None}.get(event, lambda: result)()
        return result

    def run(self):
        Table.log = self.log
        try:
            return outcome_of(self.function, *self.args)
        except Abort:
            return ("aborted",)
        finally:
            Table.log = None

    def state(self):
        """Everything the run may have changed, in comparable form."""
        arrays = [a if not isinstance(a, np.ndarray) else (a.shape, a.tolist()) for a in
                  (self.args[0], self.args[1], self.args[3])]
        return repr((container_rows(self.connections.inner), container_rows(self.weights.inner), self.args[2],
                     arrays, self.log))  # repr: NaN weights compare equal


@examples(400)
@given(cases(), st.tuples(any_arrays(), any_arrays(), any_arrays(max_dims=1)))
def test_hostile_cases(case, data):
    native = World(case, connect, data)
    got = native.run()
    event(f"outcome: {got[0] if got[0] == 'ok' else got[1].__name__}")
    for name in set(native.fired):
        event(f"event: {name}")
    if got[0] == "ok":
        assert got[1] == (native.connections, native.weights)
        replay = World(case, reference.connect_unlabeled, data)
        want = replay.run()
        assert want[0] == "ok", want
    else:
        # A well-formed case fails only where the plain version fails, the same way.
        stop_after = None if case.clean else len(native.log) or None
        replay = World(case, reference.connect_unlabeled, data, stop_after=stop_after)
        want = replay.run()
        if case.clean:
            assert got == want
    if native.log or got[0] == "ok" or case.clean:
        assert native.state() == replay.state()
    else:
        # Failed before any call out: the caller's objects are as they were.
        assert native.state() == World(case, connect, data).state()
