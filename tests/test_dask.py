"""velorn.dask: reassign_noise gives the labels of kelvo_postprocess on the
same data in memory, and the estimators those of the in-memory estimators,
whatever the chunking and the scheduler (a cluster of worker processes
included); clear errors before any work."""

import subprocess
import sys

import numpy as np
import pytest
from sklearn.datasets import make_blobs

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess  # noqa: E402
import velorn  # noqa: E402
import velorn.dask  # noqa: E402
from velorn.dask import _centroids, reassign_noise  # noqa: E402

N = 1200


def make_data(n_dims, seed=0):
    """Points of very different magnitudes, so that the order of the
    additions shows in the centroids' last bits; a noise point so far out that
    every distance overflows to infinity (it keeps -1); rows 0-299 noise
    only, 300-599 clusters only. No HDBSCAN marks (-2, -3), which
    kelvo_postprocess dissolves and reassign_noise keeps."""
    rng = np.random.default_rng(seed)
    points = rng.normal(size=(N, n_dims)) * 10.0 ** rng.integers(-6, 7, size=(N, 1))
    labels = rng.integers(-1, 6, N).astype(np.int64)
    labels[:300] = -1
    labels[300:600] = rng.integers(0, 6, 300)
    points[7] = 1e300
    return points, labels


CHUNKINGS = {
    "one chunk": (N,),
    "many small": (97,) * (N // 97) + (N % 97,),
    "empty chunks": (0, 300, 0, 0, 300, N - 600, 0),
}
SETTINGS = {
    "default": {},
    "threshold 2": {"threshold": 2},
    "threshold above all": {"threshold": 9},
    "manhattan": {"metric": "manhattan"},
    "minkowski p=1": {"metric": "minkowski", "p": 1},
}


@pytest.fixture(scope="module")
def local_cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(params=["distributed", "threads"])
def scheduler(request):
    if request.param == "distributed":
        client = request.getfixturevalue("local_cluster")
        with dask.config.set(scheduler=client):
            yield
    else:
        with dask.config.set(scheduler="threads"):
            yield


@pytest.mark.parametrize("chunking", CHUNKINGS.values(), ids=CHUNKINGS.keys())
@pytest.mark.parametrize("settings", SETTINGS.values(), ids=SETTINGS.keys())
def test_agrees_with_kelvo_postprocess(scheduler, chunking, settings):
    points, labels = make_data(n_dims=3)
    expected = kelvo_postprocess(points, labels.astype(np.int32), **settings)
    lazy = reassign_noise(da.from_array(points, chunks=(chunking, -1)),
                          da.from_array(labels, chunks=(chunking,)), **settings)
    got = lazy.compute()
    assert lazy.chunks == (chunking,) and got.dtype == np.int64
    np.testing.assert_array_equal(got, expected)


def test_one_dimension_agrees_with_kelvo_postprocess(scheduler):
    points, labels = make_data(n_dims=1, seed=1)
    chunking = CHUNKINGS["many small"]
    expected = kelvo_postprocess(points, labels.astype(np.int32), threshold=1)
    got = reassign_noise(da.from_array(points, chunks=(chunking, -1)), da.from_array(labels, chunks=(chunking,)),
                         threshold=1).compute()
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("n_dims", [1, 2, 8])
@pytest.mark.parametrize("chunking", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_centroids_are_the_means_within_rounding(n_dims, chunking):
    points, labels = make_data(n_dims, seed=n_dims)
    with dask.config.set(scheduler="sync"):
        keys, centroids = _centroids(da.from_array(points, chunks=(chunking, -1)),
                                     da.from_array(labels, chunks=(chunking,)), threshold=0, n_dims=n_dims)
    assert keys.tolist() == list(range(6))
    expected = np.array([np.mean(points[labels == key], axis=0) for key in keys])
    largest = np.abs(points[labels >= 0]).max()
    np.testing.assert_allclose(centroids, expected, rtol=1e-12, atol=1e-15 * largest)


def test_small_label_dtypes_and_no_centroids():
    points = da.from_array(np.arange(12.0).reshape(6, 2), chunks=(3, 2))
    labels = np.array([-1, 3, -1, 4, -1, -1], dtype=np.int16)
    with dask.config.set(scheduler="sync"):
        got = reassign_noise(points, da.from_array(labels, chunks=3)).compute()
        none_left = reassign_noise(points, da.from_array(labels, chunks=3), threshold=5).compute()
    assert got.dtype == np.int16 and got.tolist() == [3, 3, 3, 4, 4, 4]
    assert none_left.tolist() == [-1] * 6


@pytest.mark.parametrize("settings", [
    {}, {"threshold": 2}, {"p": 1.5}, {"metric": "manhattan", "max_distance": 1e3}, {"max_distance": 0.0},
], ids=["default", "threshold", "real p", "manhattan within", "max_distance 0"])
def test_the_same_labels_as_in_memory(settings):
    """HDBSCAN's marks kept, max_distance, a real p: one behaviour in memory and on Dask."""
    points, labels = make_data(n_dims=2, seed=5)
    labels[::7] = np.where(np.arange(0, N, 7) % 2, -2, -3)
    points[::14] = np.inf
    points[7::14, 1] = np.nan
    expected = velorn.reassign_noise(points, labels, **settings)
    chunking = CHUNKINGS["many small"]
    with dask.config.set(scheduler="sync"):
        got = reassign_noise(da.from_array(points, chunks=(chunking, -1)), da.from_array(labels, chunks=(chunking,)),
                             **settings).compute()
    assert got.dtype == expected.dtype
    np.testing.assert_array_equal(got, expected)
    assert (got[::7] == labels[::7]).all()


def test_unsigned_labels_as_in_memory():
    points = np.arange(12.0).reshape(6, 2)
    labels = np.array([0, 3, 3, 4, 4, 0], dtype=np.uint16)
    with dask.config.set(scheduler="sync"):
        got = reassign_noise(da.from_array(points, chunks=(3, 2)), da.from_array(labels, chunks=3),
                             threshold=3).compute()
    expected = velorn.reassign_noise(points, labels, threshold=3)
    assert got.dtype == expected.dtype == np.int32 and got.tolist() == expected.tolist() == [3, 3, 3, 4, 4, 4]


POINTS = da.zeros((10, 2), chunks=(5, 2))
LABELS = da.zeros(10, dtype=np.int32, chunks=5)


@pytest.mark.parametrize("points, labels, kwargs, error, message", [
    (POINTS, LABELS.rechunk(4), {}, ValueError, "labels must be chunked like the rows of points"),
    (POINTS, da.zeros(9, dtype=np.int32, chunks=5), {}, ValueError, "labels has 9 labels but points has 10 rows"),
    (POINTS.rechunk((5, 1)), LABELS, {}, ValueError, "points must be chunked by rows only"),
    (POINTS, LABELS.astype(np.float64), {}, TypeError, "labels must have an integer dtype"),
    (POINTS[POINTS[:, 0] > 0], LABELS, {}, ValueError, "known chunk sizes"),
    (POINTS.compute(), LABELS, {}, TypeError, "The 'points' parameter of reassign_noise must be an instance"),
    (POINTS[:, 0], LABELS, {}, ValueError, "points must be 2-D"),
    (POINTS, LABELS, {"metric": "nope"}, ValueError, "The 'metric' parameter of reassign_noise"),
    (POINTS, LABELS, {"threshold": 2**31}, ValueError, "The 'threshold' parameter of reassign_noise"),
    (POINTS, LABELS, {"p": 0.5}, ValueError, "The 'p' parameter of reassign_noise"),
    (POINTS, LABELS, {"max_distance": -1}, ValueError, "The 'max_distance' parameter of reassign_noise"),
], ids=["chunks", "lengths", "column chunks", "float labels", "unknown chunks",
        "numpy points", "1-D points", "metric", "threshold", "p", "max_distance"])
def test_errors_before_any_work(points, labels, kwargs, error, message):
    def must_not_run(*args, **kwargs):
        raise AssertionError("a task ran")

    with dask.config.set(scheduler=must_not_run), pytest.raises(error, match=message.replace("(", r"\(")):
        reassign_noise(points, labels, **kwargs)


def test_label_beyond_32_bits_is_refused():
    labels = da.from_array(np.array([0, 2**31, -1, 0]), chunks=2)
    with dask.config.set(scheduler="sync"), pytest.raises(ValueError, match="label 2147483648 is outside the 32-bit integer range"):
        reassign_noise(da.zeros((4, 2), chunks=(2, 2)), labels)


def test_without_dask_velorn_imports_and_velorn_dask_says_how_to_install():
    code = (
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] in ('dask', 'distributed'): raise ImportError('no ' + name)\n"
        "sys.meta_path.insert(0, Block())\n"
        "import velorn\n"
        "try:\n"
        "    import velorn.dask\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True)
    assert "pip install 'velorn[dask]'" in out.stdout


def test_docstring_example_shows_what_it_prints():
    import doctest

    import velorn.dask

    with dask.config.set(scheduler="sync"):
        assert doctest.testmod(velorn.dask).failed == 0


@pytest.mark.parametrize("estimator", ["WeightedLabelPropagation", "PoissonLabelPropagation"])
@pytest.mark.parametrize("chunking", [(600,), (97,) * 6 + (18,), (0, 250, 0, 350, 0)], ids=["one", "many", "empty"])
def test_estimators_label_as_in_memory_on_any_chunking(scheduler, estimator, chunking):
    points, truth = make_blobs(600, n_features=3, centers=4, random_state=0)
    y = np.full(600, -1)
    y[::40] = truth[::40]
    expected = getattr(velorn, estimator)(n_neighbors=8).fit(points, y)
    model = getattr(velorn.dask, estimator)(n_neighbors=8).fit(da.from_array(points, chunks=(chunking, -1)), y)
    assert isinstance(model.transduction_, da.Array) and model.transduction_.chunks == (chunking,)
    np.testing.assert_array_equal(model.transduction_.compute(), expected.transduction_)
    np.testing.assert_array_equal(model.label_distributions_, expected.label_distributions_)
    queries = da.from_array(points[:150] + 0.05, chunks=(40, -1))
    np.testing.assert_array_equal(model.predict(queries).compute(), expected.predict(points[:150] + 0.05))
    np.testing.assert_array_equal(model.predict_proba(queries).compute(), expected.predict_proba(points[:150] + 0.05))


@pytest.mark.filterwarnings("ignore:.*cannot be reached")  # the grid leaves groups apart
@pytest.mark.parametrize("metric", ["cosine", "manhattan"])
def test_slabs_cut_through_ties_and_any_metric(metric):
    # The widest coordinate on a coarse grid: many samples share its value at
    # an edge, the one the slabs are cut along (a slab may stay empty);
    # cosine distances are not bounded by a coordinate's difference, so every
    # slab is asked.
    points = make_blobs(400, n_features=3, centers=3, random_state=1)[0]
    points[:, 0] = 4 * np.round(points[:, 0] / 2)  # four of the eight slabs stay empty
    y = np.full(400, -1)
    y[::25] = np.arange(16) % 3
    expected = velorn.WeightedLabelPropagation(n_neighbors=6, metric=metric).fit(points, y)
    with dask.config.set(scheduler="sync"):
        model = velorn.dask.WeightedLabelPropagation(n_neighbors=6, metric=metric).fit(
            da.from_array(points, chunks=((50,) * 8, -1)), y)
        np.testing.assert_array_equal(model.transduction_.compute(), expected.transduction_)


def test_queries_go_to_the_slabs_not_the_slabs_to_the_queries(local_cluster):
    # A slab moved to another worker travels as its whole pickled index.
    points, truth = make_blobs(4000, n_features=3, centers=4, random_state=0)
    y = np.where(np.arange(4000) % 50 == 0, truth, -1)
    with dask.config.set(scheduler=local_cluster):
        model = velorn.dask.WeightedLabelPropagation(n_neighbors=8).fit(da.from_array(points, chunks=(2000, -1)), y)
        model.predict(da.from_array(points[:100], chunks=(50, -1))).compute()
    placed = local_cluster.who_has()
    assert [len(placed[slab.key]) for slab in model._indexes.slabs] == [1, 1]


def test_estimators_refuse_what_they_cannot_search():
    points = da.from_array(np.zeros((10, 4)), chunks=(5, 2))
    with pytest.raises(ValueError, match="chunked by rows only"):
        velorn.dask.WeightedLabelPropagation().fit(points, np.zeros(10))
    with pytest.raises(TypeError, match="dask.array.Array"):
        velorn.dask.WeightedLabelPropagation().fit(np.zeros((10, 4)), np.zeros(10))
    with pytest.raises(ValueError, match="'n_neighbors' parameter"):
        velorn.dask.WeightedLabelPropagation(n_neighbors=0).fit(points.rechunk({1: -1}), np.zeros(10))
