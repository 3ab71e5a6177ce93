"""The test seam (vesk_set_hooks) is in a library built for the test suite,
and only there: a library built without the scripted engine beside it has
no way to redirect its operations."""
import glob
import os


def scripted_engine_beside(lib):
    folder = os.path.dirname(os.path.abspath(lib.dll._name))
    return bool(glob.glob(os.path.join(folder, "_vkscript*")))


def test_hook_entry_exists_only_in_the_test_build(lib):
    assert hasattr(lib.dll, "cli_exec_direct")
    assert hasattr(lib.dll, "vesk_set_hooks") == scripted_engine_beside(lib)
