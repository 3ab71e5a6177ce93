"""Compiling the C floors: the same work as a bench, written straight on the
engine's C library, with no Python in the loop."""
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def build_c(folder, name, flags=(), libs=()):
    """Compile bench/NAME.c into `folder` with the extra compiler `flags`
    and `libs`; returns (path, None) or (None, why not)."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None, "not built: no C compiler"
    exe = os.path.join(folder, name)
    cmd = ([cc, "-O2", "-std=c99", "-D_POSIX_C_SOURCE=200809L"] + list(flags)
           + ["-o", exe, os.path.join(HERE, name + ".c")] + list(libs))
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=300)
    except (OSError, subprocess.SubprocessError) as exc:
        return None, "not built: %s" % exc
    if done.returncode != 0:
        lines = (done.stderr or done.stdout).strip().splitlines()
        return None, "not built: %s" % (lines[-1] if lines else "cc failed")
    return exe, None
