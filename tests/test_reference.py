"""The plain-Python kernels against the worked examples."""

import pytest

import reference
from examples import (
    CONNECT_EXAMPLES,
    POSTPROCESS_EXAMPLES,
    PROPAGATION_EXAMPLES,
    check_connect_example,
    check_connect_keeps_edge_when_weights_append_fails,
    check_postprocess_example,
    check_propagation_example,
    example_id,
)


@pytest.mark.parametrize("example", PROPAGATION_EXAMPLES, ids=example_id)
def test_propagation_examples(example):
    check_propagation_example(reference.weighted_label_propagation, example)


@pytest.mark.parametrize("example", CONNECT_EXAMPLES, ids=example_id)
def test_connect_examples(example):
    check_connect_example(reference.connect_unlabeled, example)


def test_connect_keeps_edge_when_weights_append_fails():
    check_connect_keeps_edge_when_weights_append_fails(reference.connect_unlabeled)


@pytest.mark.parametrize("example", POSTPROCESS_EXAMPLES, ids=example_id)
def test_postprocess_examples(example):
    check_postprocess_example(reference.kelvo_postprocess, example)
