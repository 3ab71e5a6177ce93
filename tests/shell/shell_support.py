"""Running `python -m vkcondb` in a child process, with pipes (`run_shell`)
or on a pseudo-terminal (`PtyShell`).  The child imports the same build of
vkcondb; HOME is the test's folder, so no history of the user is touched.
"""
import os
import re
import select
import signal
import subprocess
import sys
import time

TIMEOUT = 60


def shell_env(home, **extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p and os.path.isdir(p))
    env["HOME"] = str(home)
    env.pop("VKCONDB_HISTORY", None)
    env.update(extra)
    return env


def run_shell(args, cwd, stdin="", timeout=TIMEOUT):
    """(returncode, stdout, stderr) of the shell run with `args` in `cwd`."""
    proc = subprocess.run([sys.executable, "-m", "vkcondb"] + [str(a) for a in args],
                          input=stdin.encode("utf-8"), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=str(cwd), env=shell_env(cwd),
                          timeout=timeout)
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


_TERMINAL_CODES = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[=>]|\r")


class PtyShell(object):
    """The shell on a pseudo-terminal.  No wait is unbounded: a read that
    does not see its text in time fails the test with what came."""

    def __init__(self, args, cwd, timeout=TIMEOUT, **env):
        import pty
        self.timeout = timeout
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "vkcondb"] + [str(a) for a in args],
            stdin=slave, stdout=slave, stderr=slave, cwd=str(cwd),
            env=shell_env(cwd, TERM="dumb", **env), start_new_session=True)
        os.close(slave)
        self._raw = b""       # everything the shell wrote
        self._consumed = 0    # how much of its clean text reads returned

    def read_until(self, text, timeout=None):
        """What the shell wrote since the last read, up to and including
        `text` (terminal codes and carriage returns taken out)."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            clean = _TERMINAL_CODES.sub("", self._raw.decode("utf-8", "replace"))
            found = clean.find(text, self._consumed)
            if found >= 0:
                start, self._consumed = self._consumed, found + len(text)
                return clean[start:self._consumed]
            left = deadline - time.monotonic()
            chunk = b""
            if left > 0 and select.select([self.master], [], [], left)[0]:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:   # the child closed the terminal
                    pass
            if not chunk:
                raise AssertionError("no %r from the shell; it wrote %r"
                                     % (text, clean[self._consumed:]))
            self._raw += chunk

    def send(self, text, end="\n"):
        os.write(self.master, (text + end).encode("utf-8"))

    def interrupt_until(self, text):
        """Interrupt the shell until it writes `text`.  An interrupt that
        comes while the line editor sets up its wait for input goes
        unnoticed until the next key, so it is sent again."""
        deadline = time.monotonic() + self.timeout
        while True:
            self.proc.send_signal(signal.SIGINT)
            try:
                return self.read_until(text, min(1.0, deadline - time.monotonic()))
            except AssertionError:
                if time.monotonic() >= deadline:
                    raise

    def wait(self):
        """The exit status, reading what is left meanwhile so that the
        child cannot block on a full terminal."""
        deadline = time.monotonic() + self.timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    os.read(self.master, 4096)
                except OSError:
                    pass
        return self.proc.wait(timeout=max(deadline - time.monotonic(), 1))

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=self.timeout)
        os.close(self.master)
