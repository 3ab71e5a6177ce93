"""The type stubs: they ship beside the modules, agree with the runtime
(mypy's stubtest), and mypy --strict accepts a program written against them
while rejecting the same program with type errors planted in it."""
import ast
import importlib.util
import os
import re
import runpy
import subprocess
import sys

import pytest

import sanitized
import vkcondb

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.dirname(os.path.abspath(vkcondb.__file__))
EXAMPLE = os.path.join(HERE, "typed_example.py")

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (the test extras bring it on Python 3.9 and later)")


def run_tool(args, cwd):
    """Run `python -m <args>` so that it finds the package under test as a
    user's type checker does: on the interpreter's path, by its py.typed.
    mypy itself only reads files, so under the sanitizers it runs without
    them (its own leaks at exit are not ours); stubtest imports the driver
    and keeps them."""
    env = dict(os.environ) if args[0] == "mypy.stubtest" else sanitized.foreign_env(dict(os.environ))
    env.pop("MYPYPATH", None)
    path = [os.path.dirname(PACKAGE_DIR)] + env.get("PYTHONPATH", "").split(os.pathsep)
    env["PYTHONPATH"] = os.pathsep.join(p for p in path if p)
    proc = subprocess.run([sys.executable, "-m"] + args, cwd=str(cwd), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=300)
    return proc.returncode, proc.stdout


def test_stubs_ship_beside_the_modules():
    for name in ("__init__.pyi", "_pyvkdb37.pyi", "py.typed"):
        assert os.path.isfile(os.path.join(PACKAGE_DIR, name)), name


def test_package_stub_has_every_public_name():
    # stubtest below goes by __all__ and leaves out the names beyond it (the
    # Operational* classes).
    with open(os.path.join(PACKAGE_DIR, "__init__.pyi"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    stub = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            stub.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            stub.update(t.id for t in getattr(node, "targets", [getattr(node, "target", None)]))
        elif isinstance(node, ast.ImportFrom):
            stub.update(a.asname for a in node.names if a.asname == a.name)
    runtime = {name for name, value in vars(vkcondb).items()
               if not name.startswith("_") and type(value) is not type(os)}
    assert {name for name in stub if not name.startswith("_")} == runtime


@needs_mypy
def test_stubs_agree_with_the_runtime(tmp_path):
    # libvesksql, the client library beside the modules, looks like an
    # extension module to stubtest; it is not one.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("vkcondb.libvesksql\n")
    # SQLAlchemy is optional: where it is not installed, its dialects cannot
    # be imported, and they are not what this test checks.
    if importlib.util.find_spec("sqlalchemy") is None:
        allowlist.write_text("vkcondb.libvesksql\nvkcondb\\.sqlalchemy(\\..*)?\n")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n\n[mypy-sqlalchemy.*]\nignore_missing_imports = True\n")
    rc, out = run_tool(["mypy.stubtest", "--concise", "--allowlist", str(allowlist),
                        "--ignore-unused-allowlist", "--mypy-config-file", str(config),
                        "vkcondb"], tmp_path)
    # Newer stubtest wants C types with their own instance layout marked
    # @disjoint_base; the stubs leave the marker out so that type checkers
    # that do not know it can read them.
    problems = [line for line in out.splitlines()
                if line.strip() and "is a disjoint base at runtime" not in line]
    assert not problems, out
    assert rc == 0 or "disjoint base" in out, out


# Each line appended to the example program is one type error, on the line
# the comment marks, with that mypy error code.
PLANTED = '''

def planted(conn: vkcondb.connection) -> None:
    cur = conn.cursor()
    cur.execute(1)  # planted: arg-type
    cur.execute("select ?", params=(1,))  # planted: call-arg
    row: int = cur.fetchone()  # planted: assignment
    rows: List[Row] = cur.fetchmany(2)  # planted: assignment
    vkcondb.connect(port="5432")  # planted: arg-type
    try:
        conn.commit(True)  # planted: call-arg
    except vkcondb.Error as exc:
        state: str = exc.sqlstate  # planted: assignment
    lent: vkcondb.cursor = vkcondb.pool().getconn()  # planted: assignment
'''


@needs_mypy
def test_mypy_strict_accepts_the_example_and_finds_planted_errors(tmp_path):
    with open(EXAMPLE, encoding="utf-8") as f:
        source = f.read()
    (tmp_path / "example.py").write_text(source)
    planted = source + PLANTED
    (tmp_path / "planted.py").write_text(planted)
    expected = {(i, code) for i, line in enumerate(planted.splitlines(), 1)
                for code in re.findall(r"# planted: ([\w-]+)", line)}

    rc, out = run_tool(["mypy", "--strict", "--show-error-codes", "--no-error-summary",
                        "--cache-dir", str(tmp_path / "cache"), "example.py", "planted.py"],
                       tmp_path)
    errors = re.findall(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", out, re.M)
    assert all(path == "planted.py" for path, _, _ in errors), out
    assert {(int(line), code) for _, line, code in errors} == expected, out
    assert rc == 1, out


def test_the_example_runs(tmp_path, monkeypatch):
    # What mypy accepts above is what the package really does.
    monkeypatch.chdir(tmp_path)
    runpy.run_path(EXAMPLE, run_name="__main__")
