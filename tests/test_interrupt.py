"""Long calls run without the interpreter lock and stop on Ctrl-C."""

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import _tarvo_rs as t

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MODEL, NATIVE = str(EXAMPLES / "2GTP_model.pdb"), str(EXAMPLES / "2GTP_native.pdb")


def test_other_threads_run_during_a_long_call():
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        # Long enough for dozens of ticks however fast scoring gets (about 0.3 s today).
        outcomes = t.score_one_vs_many(NATIVE, [MODEL] * 1000)
    finally:
        done.set()
        ticker.join()
    assert all(outcome["ok"] for outcome in outcomes)
    assert len(ticks) > 10  # with the lock held throughout, the ticker would get no turn


# The child scores far more models than it can finish before the signal, then
# scores once more to show that the module still works.
CHILD = f"""
import sys, time, _tarvo_rs as t
print("ready", flush=True)
try:
    t.score_one_vs_many({NATIVE!r}, [{MODEL!r}] * 20000)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(round(t.score({MODEL!r}, {NATIVE!r})["GlobalTarvo"], 3), flush=True)
"""


def test_sigint_stops_a_batch_and_the_next_call_works():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    assert child.stdout.readline() == "interrupted\n"
    stopped_after = time.monotonic() - sent
    assert child.stdout.readline() == "0.819\n"
    assert child.wait(timeout=60) == 0
    assert stopped_after < 20  # the whole batch takes minutes


@pytest.mark.parametrize("threads", ["1", "2"])
def test_thread_limit_gives_the_same_results(monkeypatch, threads):
    expected = repr(t.score_one_vs_many(NATIVE, [MODEL, NATIVE]))
    monkeypatch.setenv("TARVO_NUM_THREADS", threads)
    assert repr(t.score_one_vs_many(NATIVE, [MODEL, NATIVE])) == expected


@pytest.mark.parametrize("value", ["0", "-1", "two", "2.5"])
def test_bad_thread_limit_is_a_value_error(monkeypatch, value):
    monkeypatch.setenv("TARVO_NUM_THREADS", value)
    with pytest.raises(ValueError, match="TARVO_NUM_THREADS must be a whole number"):
        t.score(MODEL, NATIVE)


# Each call reads a FIFO that nobody opens for writing: without a way out, the
# read (or the open) waits for ever.
BLOCKED_CALLS = {
    "load_PDB": "t.load_PDB(FIFO)",
    "score": "t.score(FIFO, NATIVE)",
    "score_pairs": "t.score_pairs([(FIFO, NATIVE)])",
    "score_one_vs_many": "t.score_one_vs_many(NATIVE, [FIFO])",
    "iter_score_one_vs_many": "list(t.iter_score_one_vs_many(NATIVE, [FIFO]))",
}


@pytest.mark.parametrize("call", BLOCKED_CALLS.values(), ids=BLOCKED_CALLS.keys())
def test_sigint_stops_a_call_waiting_for_input(tmp_path, call):
    fifo = tmp_path / "silent.fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen(
        [sys.executable, "-c", f"""
import _tarvo_rs as t
FIFO, NATIVE = {str(fifo)!r}, {NATIVE!r}
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""], stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=5) == 0  # before, only SIGKILL ended it
        assert child.stdout.read() == "interrupted\n"
    finally:
        child.kill()


def reading_through(pid, pipe):
    """Whether process `pid` has `pipe` open more than once: as its standard input and as /dev/stdin."""
    links = []
    for fd in Path(f"/proc/{pid}/fd").iterdir():
        try:
            links.append(os.readlink(fd))
        except OSError:
            pass
    return links.count(pipe) > 1


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_the_command_line_stops_while_standard_input_sends_nothing(stop):
    # As `sleep 600 | tarvo /dev/stdin native.pdb`: this test holds the pipe open and never writes.
    child = subprocess.Popen([sys.executable, "-m", "tarvo", "/dev/stdin", NATIVE], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        pipe = os.readlink(f"/proc/{child.pid}/fd/0")
        deadline = time.monotonic() + 60
        while not reading_through(child.pid, pipe) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        child.send_signal(stop)
        assert child.wait(timeout=5) == 130
        assert child.stderr.read() == "tarvo: interrupted\n"
    finally:
        child.kill()
