"""The package's own native modules, which its estimators call: the label
sweeps, the Poisson solver, the class shifts and the nearest centroid. Their
sources are in src/, their stubs beside them here; none is public API."""
