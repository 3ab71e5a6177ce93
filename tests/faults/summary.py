"""Prints the fault matrix: runs and outcomes per operation and failure kind.

    cd tests && PYTHONPATH=../build/dev/python python3 faults/summary.py [--growth]

Each run fails one library call of one scenario with one kind of failure
(see matrix.py); "bad" counts runs with a problem (a foreign exception, an
unusable object, something of the library left held).  --growth adds, per
scenario, the Python blocks and C heap bytes gained by a second whole pass.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from scripted import control  # noqa: E402
import matrix  # noqa: E402


def main(argv):
    script = control.Script()
    script.install()
    try:
        outcomes = []
        for scenario in matrix.SCENARIOS:
            outcomes += matrix.run_matrix(script, scenario)
        print(matrix.format_summary(matrix.summary(outcomes)))
        bad = [o for o in outcomes if o.problems]
        print("\n%d runs in %d scenarios, %d with problems" % (
            len(outcomes), len(matrix.SCENARIOS), len(bad)))
        for o in bad[:40]:
            print("  %s call %d %s/%s -> %s: %s" % (o.scenario, o.index, o.op, o.kind,
                                                   o.result, "; ".join(o.problems)))
        if "--growth" in argv:
            for scenario in matrix.SCENARIOS:
                runs, (blocks, heap) = matrix.growth(script, scenario)
                print("growth %-18s %5d runs: %+d Python blocks, %+d C heap bytes"
                      % (scenario.__name__, runs, blocks, heap or 0))
        return 1 if bad else 0
    finally:
        script.reset()
        script.uninstall()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
