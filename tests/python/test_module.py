import os
import re
import subprocess
import sys
import textwrap

import pytest

import velmora

SANITIZED = bool(os.environ.get("VELMORA_SANITIZED"))


def run_python(code, env=None):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


def test_published_names_and_docstring():
    assert velmora.__all__ == [
        "Path2D",
        "ResamplingMethod",
        "InterpolationMethod",
        "ElasticBandMethod",
        "fit_distance_profile",
    ]
    assert velmora.__doc__ == "Useful tools for working with paths"
    public = [n for n in dir(velmora) if not n.startswith("_")]
    assert sorted(public) == sorted(velmora.__all__)
    # the one private helper: pickle reconstructs the module's objects through it
    assert [n for n in dir(velmora) if n.startswith("_") and not n.startswith("__")] == ["_reconstruct"]
    assert not hasattr(velmora, "ResamplingMethod_ByNumberPoints")


def test_reimport_returns_the_same_module_object():
    first = velmora
    del sys.modules["velmora"]
    try:
        import velmora as again

        assert again is first
        assert again.Path2D is first.Path2D
        assert again.__all__ == first.__all__
    finally:
        sys.modules["velmora"] = first


def test_classes_report_the_builtin_module():
    for cls in (velmora.Path2D, velmora.ResamplingMethod, velmora.InterpolationMethod):
        assert cls.__module__ == "builtins"


def test_no_class_can_be_rebound():
    # A rebound __new__ would make objects whose C++ part was never constructed.
    # In a child: a rebinding that succeeds would spoil the class for later tests.
    result = run_python(
        """
        import velmora
        from velmora import Path2D, ResamplingMethod as RM
        try:
            Path2D(points=[[0, 0], [1, 0]]).resampled_path(RM.by_number_points(0))
        except BaseException as e:
            panic = type(e)
        for cls in (Path2D, RM, RM.ByNumberPoints, RM.BySamplingDistance, velmora.InterpolationMethod,
                    velmora.ElasticBandMethod, panic):
            try:
                cls.__new__ = lambda c, *a: object.__new__(c)
                print(cls.__name__, "rebound")
            except TypeError as e:
                print(cls.__name__, e)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 7 and all("immutable type" in line for line in lines), lines


def test_only_the_init_function_is_exported_and_no_libpython_is_linked():
    so = velmora.__file__
    symbols = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in symbols.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_velmora"]
    dynamic = subprocess.run(["readelf", "-d", so], capture_output=True, text=True, check=True).stdout
    needed = [line for line in dynamic.splitlines() if "NEEDED" in line]
    assert needed and not any("libpython" in line for line in needed)


def test_subinterpreter_import_fails_and_process_stays_healthy():
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        import velmora
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import velmora")
        except interpreters.RunFailedError as e:
            print("failed:", e)
        interpreters.destroy(interp)
        print(velmora.Path2D(points=[[0, 0], [3, 4]]).length)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout and "sub-interpreters" in result.stdout
    assert result.stdout.strip().endswith("5.0")


NO_NUMPY = """
import builtins, sys
real_import = builtins.__import__
def hiding_numpy(name, *args, **kwargs):
    if name == "numpy" or name.startswith("numpy."):
        raise ImportError("No module named 'numpy'")
    return real_import(name, *args, **kwargs)
builtins.__import__ = hiding_numpy
for key in [k for k in sys.modules if k == "numpy" or k.startswith("numpy.")]:
    del sys.modules[key]
"""


def test_without_numpy_lists_work_and_arrays_raise_the_internal_error():
    result = run_python(
        NO_NUMPY
        + """
import velmora
p = velmora.Path2D(points=[[0, 0], [3, 4]])
print(p.points, p.x, p.length, p.curvature)
try:
    p.x_np
except BaseException as e:
    print(type(e).__module__, type(e).__name__, e.args)
    assert not isinstance(e, Exception)
builtins.__import__ = real_import
print(p.x_np.tolist())
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "[[0.0, 0.0], [3.0, 4.0]] [0.0, 3.0] 5.0 [0.0, 0.0]"
    assert lines[1] == "pyo3_runtime PanicException ('Failed to access NumPy array API capsule',)"
    # a later call tries again once NumPy is reachable
    assert lines[2] == "[0.0, 3.0]"
    assert "Failed to access NumPy array API capsule" in result.stderr
    # the diagnostic names the source file relative to the project
    source = re.search(r"internal error at (\S+):\d+: Failed to access", result.stderr).group(1)
    assert source == "src/python/numpy_api.cpp"


def test_panic_exception_class_is_created_once_and_not_published():
    result = run_python(
        NO_NUMPY
        + """
import velmora
p = velmora.Path2D(points=[[0, 0]])
classes = []
for _ in range(2):
    try:
        p.points_np
    except BaseException as e:
        classes.append(type(e))
assert classes[0] is classes[1]
cls = classes[0]
assert cls.__bases__ == (BaseException,)
assert (cls.__module__, cls.__qualname__) == ("pyo3_runtime", "PanicException")
assert not any(getattr(velmora, n) is cls for n in dir(velmora))
print("ok")
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_diagnostics_name_core_sources_within_the_checkout(capfd):
    # relative to the project root, wherever the checkout lies (even below a "src")
    with pytest.raises(BaseException, match="the len is 0"):
        velmora.Path2D(points=[[0, 0], [1, 0]]).resampled_path(velmora.ResamplingMethod.by_number_points(0))
    source = re.search(r"internal error at (\S+):\d+: ", capfd.readouterr().err).group(1)
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    assert not os.path.isabs(source) and os.path.isfile(os.path.join(root, source)), source


def test_numpy_major_version_of_this_run():
    # `make test` runs the array tests under NumPy 2.x and again under 1.x
    np = pytest.importorskip("numpy")
    expected = os.environ.get("VELMORA_EXPECT_NUMPY_MAJOR")
    major = int(np.__version__.split(".")[0])
    if expected is not None:
        assert major == int(expected)
    core = "numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray"
    velmora.Path2D(points=[[0, 0]]).x_np
    assert core in sys.modules


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot follow a thread that pthread_exit unwinds")
def test_daemon_thread_inside_a_call_at_interpreter_exit():
    # The interpreter ends such a thread with pthread_exit, which unwinds its
    # stack through the call; the error funnel must let that unwind pass.
    result = run_python(
        """
        import sys, threading, time, types
        import velmora

        class Slow:
            def __float__(self):
                time.sleep(0.3)
                return 1.0

        class Linger:
            # keeps the interpreter's shutdown busy while the thread wakes up
            def __del__(self, sleep=time.sleep):
                sleep(1.0)

        def work():
            velmora.Path2D(x=[Slow()], y=[0.0])

        threading.Thread(target=work, daemon=True).start()
        sys.modules["lingering"] = types.ModuleType("lingering")
        sys.modules["lingering"].value = Linger()
        time.sleep(0.1)
        print("exiting")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "exiting"
    assert "unknown C++ exception" not in result.stderr


@pytest.mark.skipif(SANITIZED, reason="RLIMIT_AS cannot hold the sanitizer's shadow memory")
def test_failed_array_allocation_prints_without_the_excepthook():
    result = run_python(
        """
        import resource, sys
        import numpy as np
        import velmora

        def hook(*args):
            raise SystemExit(7)
        sys.excepthook = hook

        n = 4 << 20
        path = velmora.Path2D(x=np.zeros(n), y=np.zeros(n))
        velmora.Path2D(points=[[0, 0]]).x_np  # loads NumPy's table before the cap
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) << 10
        resource.setrlimit(resource.RLIMIT_AS, (vm + (16 << 20), resource.RLIM_INFINITY))
        try:
            path.x_np  # 32 MiB
        except BaseException as e:
            outcome = (type(e).__name__, e.args)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(outcome, hasattr(sys, "last_value"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('PanicException', ('Python API call failed',)) False"
    assert "MemoryError" in result.stderr
