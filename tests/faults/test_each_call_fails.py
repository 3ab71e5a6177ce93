"""Each client-library call of a whole scenario made to fail in turn, with
every kind of failure the library can give (matrix.py has the tables).

Whatever the failure, the driver raises one of its own exceptions or carries
on as documented, its cursors and connections stay usable or say they are
closed, and everything it took from the library goes back.  With -s each
scenario prints its runs per operation and failure kind."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import matrix  # noqa: E402

# Python blocks a whole second pass of a scenario's matrix may gain (frames
# and caches of the test itself), and C heap bytes (the allocator keeps
# freed blocks of the scratch buffers around): a leak of one block or
# buffer per run is far above both.
BLOCKS_ALLOWED = 200
HEAP_ALLOWED = 1 << 20


@pytest.mark.parametrize("scenario", matrix.SCENARIOS, ids=[s.__name__ for s in matrix.SCENARIOS])
def test_each_call_fails_in_turn(script, scenario):
    outcomes = matrix.run_matrix(script, scenario)
    print("\n" + scenario.__name__)
    print(matrix.format_summary(matrix.summary(outcomes)))
    bad = ["call %d %s/%s -> %s: %s" % (o.index, o.op, o.kind, o.result, "; ".join(o.problems))
           for o in outcomes if o.problems]
    assert not bad, "\n".join(bad[:20])


def test_every_operation_is_failed(script):
    """The scenarios together fail every operation of the library."""
    failed = set()
    for scenario in matrix.SCENARIOS:
        calls, _ = matrix.plan(script, scenario)
        failed.update(op for op, _ in calls)
    failed.update(matrix.TEXT_READS)
    assert sorted(set(script.op_names()) - failed) == []


@pytest.mark.parametrize("scenario", [matrix.query_and_fetch, matrix.routines, matrix.pooled],
                         ids=lambda s: s.__name__)
def test_no_growth_over_a_second_pass(script, scenario):
    runs, (blocks, heap) = matrix.growth(script, scenario)
    assert runs > 0
    assert blocks < BLOCKS_ALLOWED, "%d Python blocks gained over %d runs" % (blocks, runs)
    if heap is not None:
        assert heap < HEAP_ALLOWED, "%d C heap bytes gained over %d runs" % (heap, runs)
