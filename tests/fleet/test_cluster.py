"""The README's cluster recipe as a user runs it: an S3-compatible object
store on 127.0.0.1 (moto's server, started here), `dask scheduler` and two
`dask worker` processes started as commands with the recipe's settings, and
the CLI as a separate process reading and writing s3:// through s3fs.

VELMORA_S3_SERVER names the server's executable (the gate installs it in a
venv of its own, build/s3-server); without it these tests are skipped.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import psutil
import pytest
from fleet_expected import read_output
from scenarios import Fault

import velmora_fleet

# The gate names the server, and then s3fs must be there too; run by hand,
# these tests need both and are skipped without either.
SERVER = os.environ.get("VELMORA_S3_SERVER")
if not SERVER:
    pytest.importorskip("s3fs")
    SERVER = shutil.which("moto_server")
    if not SERVER:
        pytest.skip("no S3 server: set VELMORA_S3_SERVER to moto_server", allow_module_level=True)
import s3fs  # noqa: E402

HERE = Path(__file__).parent
KEYS = {"key": "velmora-test", "secret": "velmora-test-secret"}
FLEET_CLI = [sys.executable, "-m", "velmora_fleet", "run"]
DASK = str(Path(sys.executable).with_name("dask"))  # the command the README's recipe runs
WAIT = 120  # seconds for anything on a loaded 2-core machine


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_for(condition, what, seconds=WAIT):
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)
    return value


def _base_env() -> dict:
    """This environment without any AWS credentials, and never asking the
    cloud's metadata address for some."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    env["AWS_EC2_METADATA_DISABLED"] = "true"
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
    return env


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    port = _free_port()
    log = (tmp_path_factory.mktemp("s3") / "server.log").open("w")
    server = subprocess.Popen([SERVER, "-H", "127.0.0.1", "-p", str(port)], stdout=log, stderr=log)
    endpoint = f"http://127.0.0.1:{port}"

    def up():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    try:
        _wait_for(up, "the S3 server")
        options = {"endpoint_url": endpoint, **KEYS}
        fs = s3fs.S3FileSystem(**options)
        for bucket in ("fleet-in", "fleet-out"):
            fs.mkdir(bucket)
        yield fs, options
    finally:
        server.kill()
        server.wait()
        log.close()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A scheduler and two single-threaded workers as separate commands, set
    as the README says: no MALLOC_TRIM_THRESHOLD_, one death allowed per
    task, no pausing, local scratch for the shuffle. The workers hold no
    credentials: the runs send theirs as storage options."""
    from dask.distributed import Client

    folder = tmp_path_factory.mktemp("cluster")
    env = _base_env() | {
        "DASK_DISTRIBUTED__NANNY__PRE_SPAWN_ENVIRON": '{"MALLOC_TRIM_THRESHOLD_": None}',
        "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "1",
        "DASK_DISTRIBUTED__WORKER__MEMORY__PAUSE": "False",
        "MALLOC_TRIM_THRESHOLD_": "",  # as if the user's shell had none
    }
    env.pop("MALLOC_TRIM_THRESHOLD_")
    address_file = folder / "scheduler.json"
    log = (folder / "cluster.log").open("w")
    common = dict(env=env, stdout=log, stderr=log, start_new_session=True)
    processes = [
        subprocess.Popen(
            [DASK, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard"]
            + ["--scheduler-file", str(address_file)],
            **common,
        )
    ]
    _wait_for(address_file.exists, "the scheduler")
    for k in range(2):
        processes.append(
            subprocess.Popen(
                [DASK, "worker", "--scheduler-file", str(address_file), "--nthreads", "1"]
                + ["--memory-limit", "1GB", "--no-dashboard", "--name", f"w{k}"]
                + ["--local-directory", str(folder / f"scratch-{k}")],
                **common,
            )
        )
    try:
        with Client(scheduler_file=str(address_file), timeout=WAIT) as client:
            client.wait_for_workers(2, timeout=WAIT)
            yield client, processes[1:]
    finally:
        for process in processes:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        log.close()


@pytest.fixture(scope="module")
def fleet(tmp_path_factory, store):
    """The test fleet as a log of three CSV files, here and on the store, and
    what a local run of it gives."""
    fs, _ = store
    frame = velmora_fleet.generate_fleet(30, 200, seed=3)
    local = tmp_path_factory.mktemp("fleet") / "log.csv"
    velmora_fleet.write_fleet(frame.sample(frac=1.0, random_state=1), str(local), files=3)
    fs.put(str(local) + "/", "fleet-in/log/", recursive=True)
    reference = tmp_path_factory.mktemp("reference") / "out"
    velmora_fleet.run(str(local), str(reference), workers=0)
    return local, read_output(reference)


def _cli(arguments, options, env=None, **keywords):
    command = FLEET_CLI + arguments + ["--storage-options", json.dumps(options), "--quiet"]
    return subprocess.Popen(
        command,
        env=env or _base_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        **keywords,
    )


def _finish(process, timeout=WAIT):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def _done_items(fs, folder) -> int:
    try:
        return len(json.loads(fs.cat(f"{folder}/_velmora_work/state.json"))["done"])
    except (FileNotFoundError, ValueError, KeyError):
        return 0


def _tasks_running(client) -> int:
    counts = client.run(lambda: sum(__import__("velmora_fleet.claim").claim._in_flight.values()))
    return sum(counts.values())


def _parts(fs, folder) -> list:
    fs.invalidate_cache()
    return sorted(p for p in fs.find(folder) if p.endswith(".parquet") and "/_velmora_work/" not in p)


def _assert_same_as_local(fs, folder, expected):
    copy = Path(os.environ.get("TMPDIR", "/tmp")) / f"velmora-s3-{os.getpid()}-{time.monotonic_ns()}"
    fs.get(folder + "/", str(copy) + "/", recursive=True)
    try:
        for got, want in zip(read_output(copy), expected):
            pd.testing.assert_frame_equal(got, want, check_exact=True)
    finally:
        shutil.rmtree(copy, ignore_errors=True)


def test_recipe_settings_reach_the_workers(cluster):
    client, _ = cluster
    environ = client.run(lambda: os.environ.get("MALLOC_TRIM_THRESHOLD_"))
    assert list(environ.values()) == [None, None]
    import dask

    assert client.run_on_scheduler(lambda: dask.config.get("distributed.scheduler.allowed-failures")) == 1


def test_a_worker_killed_then_ctrl_c_then_resume_gives_the_local_result(store, cluster, fleet):
    fs, options = store
    client, workers = cluster
    _, expected = fleet
    out = "fleet-out/resumed"
    client.register_plugin(Fault("/nonexistent", delay=0.15), name="slow")
    try:
        arguments = ["s3://fleet-in/log", "--out", f"s3://{out}", "--scheduler", client.scheduler.address]
        run = _cli(arguments + ["--batch-points", "1000"], options)
        _wait_for(lambda: _done_items(fs, out) >= 1, "a first task done")
        victim = [
            p
            for p in psutil.Process(workers[0].pid).children(recursive=True)
            if "spawn" in " ".join(p.cmdline())
        ]
        assert victim
        victim[0].kill()  # its nanny starts another; its task runs again elsewhere
        _wait_for(lambda: _done_items(fs, out) >= 3, "tasks done after the kill")
        run.send_signal(signal.SIGINT)
        status, _, err = _finish(run)
        assert status == 130 and "interrupted; s3://fleet-out/resumed holds an incomplete run" in err, err
        # stopped means stopped: no task of it runs any more, so nothing more is written
        assert _tasks_running(client) == 0
        assert not fs.exists(f"{out}/_velmora_claim.json")
        written = _parts(fs, out)
        assert written and _parts(fs, out) == written
    finally:
        client.unregister_worker_plugin("slow")
    status, printed, err = _finish(_cli(arguments + ["--resume"], options))
    assert status == 0, err
    assert "taken from the interrupted run" in printed
    _assert_same_as_local(fs, out, expected)


def test_two_runs_into_one_folder_give_one_result(store, cluster, fleet):
    fs, options = store
    client, _ = cluster
    _, expected = fleet
    arguments = [
        "s3://fleet-in/log",
        "--out",
        "s3://fleet-out/twice",
        "--scheduler",
        client.scheduler.address,
    ]
    runs = [_cli(arguments, options) for _ in range(2)]
    outcomes = sorted(_finish(run) for run in runs)
    assert [status for status, _, _ in outcomes] == [0, 1]
    refused = outcomes[1][2]
    assert "is being written by another run" in refused or "holds the complete result" in refused, refused
    _assert_same_as_local(fs, "fleet-out/twice", expected)


@pytest.mark.parametrize(
    "case, message, left",
    [
        # text in a numeric column of the last file, while the workers run the rest
        ("bad value", "column 'x' holds 'abc' in row 3, expected a number", False),
        # the driver has credentials, the workers none: not the input's fault
        ("no credentials on the workers", "Unable to locate credentials", True),
    ],
)
def test_a_failure_while_reading_leaves_nothing_or_a_run_to_resume(
    store, cluster, fleet, case, message, left
):
    fs, options = store
    client, _ = cluster
    local, expected = fleet
    source, out = f"fleet-in/{case.replace(' ', '-')}", f"fleet-out/{case.replace(' ', '-')}"
    fs.put(str(local) + "/", source + "/", recursive=True)
    env = _base_env()
    given = options
    if case == "bad value":
        rows = "".join(f"9,2020-01-01T00:00:0{k},{'abc' if k == 2 else k},0\n" for k in range(3))
        fs.pipe_file(f"{source}/zz.csv", ("track_id,time,x,y\n" + rows).encode())
    else:
        env |= {"AWS_ACCESS_KEY_ID": KEYS["key"], "AWS_SECRET_ACCESS_KEY": KEYS["secret"]}
        given = {"endpoint_url": options["endpoint_url"]}
    arguments = [f"s3://{source}", "--out", f"s3://{out}", "--scheduler", client.scheduler.address]
    status, _, err = _finish(_cli(arguments + ["--batch-points", "1000"], given, env=env))
    assert status == 1 and message in err and err.count("\n") == 1, err
    assert _tasks_running(client) == 0
    if not left:
        assert _parts(fs, out) == [] and not fs.exists(f"{out}/_velmora_work")
        assert not fs.exists(f"{out}/_velmora_claim.json")
        return
    assert "on worker tcp://127.0.0.1:" in err and "--resume finishes the run" in err
    assert fs.exists(f"{out}/_velmora_work/state.json")
    status, _, err = _finish(_cli(arguments + ["--resume"], options))
    assert status == 0, err
    _assert_same_as_local(fs, out, expected)
