"""`tarvo rank -o` loses no row, overwrites no input, mixes no runs, and ends in one line."""

import contextlib
import csv
import errno
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tarvo import cli
from tarvo._progress import ProgressBar

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MODEL = EXAMPLES / "2GTP_model.pdb"
NATIVE = EXAMPLES / "2GTP_native.pdb"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def run(*args, env=None, **kwargs):
    if "input" not in kwargs:
        kwargs["stdin"] = subprocess.DEVNULL
    done = subprocess.run([sys.executable, "-m", "tarvo", *map(str, args)], capture_output=True,
                          env={**ENV, **(env or {})}, **kwargs)
    return done.returncode, done.stdout.decode(errors="surrogateescape"), done.stderr.decode()


@pytest.fixture
def models(tmp_path):
    folder = tmp_path / "models"
    folder.mkdir()
    for i in range(1, 5):
        shutil.copy(MODEL, folder / f"m{i}.pdb")
    return folder


def rows_of(path, jsonl=False):
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as handle:
        if jsonl:
            return [json.loads(line) for line in handle]
        return list(csv.DictReader(handle))


def names(path, jsonl=False):
    return sorted(row["model"] for row in rows_of(path, jsonl))


# ---------------------------------------------------------------- what -o may name

@pytest.mark.parametrize("command", [
    lambda native, model, out: ["rank", native, model.parent, "-o", native],
    lambda native, model, out: ["rank", native, model.parent, "-o", model],
    lambda native, model, out: ["rank", native, f"{model.parent}/./", "-o", f"{model.parent}/../models/m2.pdb"],
    lambda native, model, out: [model, native, "-o", model],
    lambda native, model, out: ["rank", native, model, "-o", out, "--plot", out],
], ids=["rank-native", "rank-model", "rank-model-spelt-otherwise", "pair-model", "plot-is-output"])
def test_an_output_that_is_an_input_is_refused_before_anything_is_opened(models, tmp_path, command):
    native = tmp_path / "native.pdb"
    shutil.copy(NATIVE, native)
    model, out = models / "m2.pdb", tmp_path / "out.png"
    status, stdout, err = run(*command(native, model, out))
    assert (status, stdout) == (2, "") and err.startswith("tarvo: error: ") and err.count("\n") == 1
    assert native.read_bytes() == NATIVE.read_bytes() and model.read_bytes() == MODEL.read_bytes()
    assert not out.exists()


# ---------------------------------------------------------------- resuming

@pytest.mark.parametrize("jsonl", [False, True], ids=["csv", "jsonl"])
def test_resume_cuts_an_incomplete_last_row_and_appends_after_a_complete_one(models, tmp_path, jsonl):
    out = tmp_path / ("out.jsonl" if jsonl else "out.csv")
    fmt = ["--jsonl"] if jsonl else []
    assert run("rank", NATIVE, models, "-o", out, *fmt)[0] == 0
    whole = out.read_bytes()
    every = names(out, jsonl)

    out.write_bytes(whole[:-25])  # a kill or a full disk in mid-row
    status, table, err = run("rank", NATIVE, models, "-o", out, "--resume", *fmt)
    assert status == 0 and "3 models were already scored" in table
    assert err.startswith("tarvo: warning: ") and "is scored again" in err
    assert names(out, jsonl) == every

    out.write_bytes(whole.rstrip(b"\n"))  # a complete row, its line end missing
    status, table, err = run("rank", NATIVE, models, "-o", out, "--resume", *fmt)
    assert (status, err) == (0, "") and "4 models were already scored" in table
    assert out.read_bytes() == whole


def test_resume_knows_models_by_file_and_refuses_another_run(models, tmp_path):
    out = tmp_path / "out.csv"
    assert run("rank", NATIVE, "models/m1.pdb", "models/m2.pdb", "-o", out, cwd=tmp_path)[0] == 0
    # Other spellings of the same files, from another working directory.
    status, table, _ = run("rank", NATIVE, "./models/", "-o", out, "--resume", cwd=tmp_path)
    assert status == 0 and "2 models were already scored" in table
    status, table, _ = run("rank", NATIVE, "../models", "-o", out, "--resume", cwd=models)
    assert status == 0 and "4 models were already scored" in table
    assert len(rows_of(out)) == 4
    kept = out.read_bytes()
    for other, message in [
        ([MODEL, models, "--resume"], "scored against the native"),
        ([NATIVE, models, "--resume", "--no-align"], "with the default options, this run with the options '--no-align'"),
        ([NATIVE, models, "--resume", "--jsonl"], "it holds CSV"),
        ([NATIVE, models, "--resume", "--per-interface"], "it holds one row per model"),
    ]:
        status, _, err = run("rank", *other, "-o", out)
        assert status == 2 and message in err and err.count("\n") == 1, err
    assert out.read_bytes() == kept


ODD_NAMES = [b"carriage\rreturn.pdb", b"new\nline.pdb", b"com,ma.pdb", b'quo"te.pdb', b"byte\xff.pdb"]


@pytest.mark.parametrize("jsonl", [False, True], ids=["csv", "jsonl"])
def test_any_file_name_keeps_its_row_whole_and_is_not_scored_twice(tmp_path, jsonl):
    folder = tmp_path / "models"
    folder.mkdir()
    for name in ODD_NAMES:
        shutil.copy(MODEL, os.fsencode(folder) + b"/" + name)
    out = tmp_path / "out"
    fmt = ["--jsonl"] if jsonl else []
    assert run("rank", NATIVE, folder, "-o", out, *fmt)[0] == 0
    expected = sorted(os.fsdecode(os.fsencode(folder) + b"/" + name) for name in ODD_NAMES)
    assert names(out, jsonl) == expected
    status, table, _ = run("rank", NATIVE, folder, "-o", out, "--resume", *fmt)
    assert status == 0 and f"{len(ODD_NAMES)} models were already scored" in table
    assert names(out, jsonl) == expected


def test_a_second_run_on_a_locked_output_fails_at_once_and_leaves_it(models, tmp_path):
    out = tmp_path / "out.csv"
    out.write_text("the rows of a run still going\n")
    with open(out) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        status, _, err = run("rank", NATIVE, models, "-o", out)
    assert status == 1 and "is being written by another tarvo run" in err and err.count("\n") == 1
    assert out.read_text() == "the rows of a run still going\n"


def test_a_full_disk_keeps_the_complete_rows_and_the_ranking_is_printed(models, tmp_path, monkeypatch, capsys):
    out = tmp_path / "out.csv"
    real_write, failed = os.write, []

    def full_disk(fd, data):
        if b"m3.pdb" not in data:
            return real_write(fd, data)
        if failed:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        failed.append(fd)
        return real_write(fd, data[: len(data) // 2])

    monkeypatch.setattr(os, "write", full_disk)
    assert cli.main(["rank", str(NATIVE), str(models), "-o", str(out)]) == 1
    printed = capsys.readouterr()
    assert printed.err == f"tarvo: error: cannot write {out}: No space left on device\n"
    assert "Rank" in printed.out and "m1.pdb" in printed.out
    assert out.read_text().endswith("\n") and names(out) == [str(models / "m1.pdb"), str(models / "m2.pdb")]


# ---------------------------------------------------------------- --plot

@pytest.fixture
def unreadable_native(tmp_path):
    """A native that fails the run as soon as it is read: a problem found before it was checked first."""
    path = tmp_path / "unreadable.pdb"
    path.write_text("no structure\n")
    return path


@pytest.mark.parametrize("plot, status, message", [
    ("x.jpg", 2, "must end in .png, .svg, .pdf"),
    ("no/such/folder/x.png", 1, "No such file or directory"),
])
def test_plot_problems_are_found_before_scoring(tmp_path, unreadable_native, plot, status, message):
    code, out, err = run("rank", unreadable_native, MODEL, "--plot", tmp_path / plot)
    assert (code, out) == (status, "") and err.startswith("tarvo: error: ") and err.count("\n") == 1
    assert message in err


def test_missing_matplotlib_is_found_before_scoring(monkeypatch, tmp_path, unreadable_native, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["rank", str(unreadable_native), str(MODEL), "--plot", str(tmp_path / "x.png")]) == 1
    assert capsys.readouterr() == ("", "tarvo: error: --plot needs matplotlib: pip install 'tarvo[plot]'\n")


def test_a_drawing_that_fails_still_prints_the_ranking(monkeypatch, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from tarvo import _plot

    def broken(ordered, path, per_model_points):
        raise RuntimeError("no room for the legend")

    monkeypatch.setattr(_plot, "plot_entries", broken)
    assert cli.main(["rank", str(NATIVE), str(MODEL), "--plot", str(tmp_path / "x.png")]) == 1
    printed = capsys.readouterr()
    assert "Rank" in printed.out and printed.err.count("\n") == 1 and "no room for the legend" in printed.err


# ---------------------------------------------------------------- inputs and the terminal

def test_a_native_from_a_pipe_is_read_once(models):
    status, table, err = run("rank", "/dev/stdin", models, "--csv", input=NATIVE.read_bytes())
    assert (status, err) == (0, "")
    rows = list(csv.DictReader(table.splitlines()))
    assert len(rows) == 4 and {row["ok"] for row in rows} == {"True"} and {row["native"] for row in rows} == {"/dev/stdin"}


def test_names_reach_a_strict_terminal_escaped_and_nothing_fails_after_the_work(tmp_path):
    folder = tmp_path / "models"
    folder.mkdir()
    for name in (b"byte\xff.pdb", b"\x1b[31mred.pdb"):
        shutil.copy(MODEL, os.fsencode(folder) + b"/" + name)
    status, table, err = run("rank", NATIVE, folder, env={"PYTHONIOENCODING": "utf-8:strict"})
    assert (status, err) == (0, "")
    assert "byte\\xff.pdb" in table and "\\x1b[31mred.pdb" in table and "\x1b" not in table

    class Terminal:
        written = ""

        def isatty(self):
            return True

        def write(self, text):
            self.written += text

        def flush(self):
            pass

    terminal = Terminal()
    with ProgressBar(0, terminal) as bar:  # a resumed run with nothing left
        bar.update(0)
    assert "0/0" in terminal.written


def test_environment_and_path_mistakes_are_one_line(tmp_path):
    for value in ("abc", " 4 "):
        status, _, err = run(MODEL, NATIVE, env={"TARVO_NUM_THREADS": value})
        assert (status, err) == (2, f"tarvo: error: TARVO_NUM_THREADS must be a whole number from 1 to 4096, "
                                    f"not {value!r}\n")
    loop = tmp_path / "loop.pdb"
    loop.symlink_to(loop)
    assert run("rank", loop, MODEL)[2] == f"tarvo: error: {loop}: symbolic link loop\n"
    listing = tmp_path / "list.txt"
    listing.write_bytes(b"\xef\xbb\xbf" + os.fsencode(MODEL) + b"\n")
    status, table, err = run("rank", NATIVE, f"@{listing}", "--csv")
    assert (status, err) == (0, "") and [row["model"] for row in csv.DictReader(table.splitlines())] == [str(MODEL)]


# ---------------------------------------------------------------- worker processes

def worker_pids(parent):
    """The worker processes that `parent` started: fresh interpreters, or forks of it."""
    forked = Path(f"/proc/{parent}/cmdline").read_bytes()
    pids = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            ppid = int(stat.read_text().rsplit(")", 1)[1].split()[1])
            program = (stat.parent / "cmdline").read_bytes()
        except (OSError, IndexError, ValueError):  # ended meanwhile
            continue
        if ppid == parent and (b"tarvo._worker" in program or program == forked):
            pids.append(int(stat.parent.name))
    return pids


def test_interrupting_a_rank_on_worker_processes_is_one_line_and_ends_them(tmp_path):
    folder = tmp_path / "models"
    folder.mkdir()
    for i in range(3000):
        (folder / f"m{i:04d}.pdb").symlink_to(MODEL)
    out = tmp_path / "out.jsonl"
    # Its own process group, to which Ctrl-C on a terminal goes: the workers get it too.
    child = subprocess.Popen([sys.executable, "-m", "tarvo", "rank", str(NATIVE), str(folder), "--workers", "2",
                              "--jsonl", "-o", str(out)], env=ENV, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        while not out.exists() or out.stat().st_size == 0:
            assert child.poll() is None, child.stderr.read()
            time.sleep(0.05)
        workers = worker_pids(child.pid)
        os.killpg(child.pid, signal.SIGINT)
        assert child.wait(timeout=120) == 130
        assert child.stderr.read().decode() == "tarvo: interrupted\n"
        assert len(workers) == 2 and not any(Path(f"/proc/{pid}").exists() for pid in workers)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)


def test_a_model_that_kills_its_worker_fails_alone_and_the_others_are_scored(tmp_path):
    # A FIFO held open and never written: the worker that reads it waits until it is killed, every time.
    stuck = tmp_path / "stuck.pdb"
    os.mkfifo(stuck)
    writer = os.open(stuck, os.O_RDWR)
    listing = tmp_path / "models.txt"
    listing.write_text("\n".join([str(MODEL)] * 150 + [str(stuck)] + [str(MODEL)] * 150) + "\n")
    out = tmp_path / "out.json"
    with open(out, "wb") as stdout:
        child = subprocess.Popen([sys.executable, "-m", "tarvo", "rank", str(NATIVE), f"@{listing}", "--workers", "2",
                                  "--json"], env=ENV, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while child.poll() is None and time.monotonic() < deadline:
            for pid in worker_pids(child.pid):
                with contextlib.suppress(OSError):
                    if any(os.readlink(fd) == str(stuck) for fd in Path(f"/proc/{pid}/fd").iterdir()):
                        os.kill(pid, signal.SIGKILL)
            time.sleep(0.02)
        assert child.wait(timeout=5) == 1, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
        os.close(writer)
    outcomes = json.loads(out.read_text())
    assert sorted(outcome["model"] for outcome in outcomes) == sorted([str(MODEL)] * 300 + [str(stuck)])
    failed = [(outcome["model"], outcome["error"]) for outcome in outcomes if not outcome["ok"]]
    assert len(failed) == 1 and failed[0][0] == str(stuck)
    assert failed[0][1].startswith("worker failed: the worker process died (signal 9")


def test_workers_that_cannot_run_stop_the_run_at_the_first(tmp_path, monkeypatch, capsys):
    # As a broken installation would: each worker ends at once. Before, every model was
    # retried on a new worker and then listed as "worker failed", one start per model.
    import tarvo._workers

    monkeypatch.setattr(tarvo._workers, "WORKER_CODE", "import sys; sys.exit(3)")
    monkeypatch.setattr(tarvo._workers, "alone", lambda: False)  # no fork: a fresh interpreter each
    listing = tmp_path / "models.txt"
    listing.write_text(f"{MODEL}\n" * 40)
    assert cli.main(["rank", str(NATIVE), f"@{listing}", "--workers", "2", "--csv"]) == 1
    printed = capsys.readouterr()
    assert printed.out == ""
    assert printed.err == ("tarvo: error: cannot run a worker process: the worker process ended (exit status 3) "
                           "before scoring any model\n")


def test_workers_share_the_processors_outlive_ctrl_c_and_end_when_the_run_stops_early(monkeypatch):
    import tarvo._workers
    from tarvo._workers import LocalWorkers

    monkeypatch.setenv("TARVO_NUM_THREADS", "4")
    monkeypatch.setattr(tarvo._workers, "alone", lambda: False)  # fresh interpreters show their variables
    chunks = LocalWorkers(2).score(None, str(NATIVE), [str(MODEL)] * 200, {})
    assert all(outcome["ok"] for _, outcome in next(chunks))
    workers = worker_pids(os.getpid())
    assert len(workers) == 2
    for pid in workers:
        assert b"TARVO_NUM_THREADS=2" in Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
        os.kill(pid, signal.SIGINT)  # as a terminal's Ctrl-C reaches them: the parent's to handle
    time.sleep(0.5)
    assert worker_pids(os.getpid()) == workers
    chunks.close()
    assert not any(Path(f"/proc/{pid}").exists() for pid in workers)


def test_workers_forked_from_a_lone_thread_start_as_fresh_ones_would():
    # A fork keeps every descriptor of this process: the pipes of the workers started before it
    # too, which would keep them from seeing this process's end.
    code = f"""if True:
        import os
        from tarvo._workers import LocalWorkers
        kept = open(os.devnull)
        workers = LocalWorkers(2)
        chunks = workers.score(None, {str(NATIVE)!r}, [{str(MODEL)!r}] * 40, {{}})
        outcomes = next(chunks)
        for worker in workers.workers:
            status = open(f"/proc/{{worker.pid}}/status").read()
            print(open(f"/proc/{{worker.pid}}/cmdline").read() == open("/proc/self/cmdline").read(),
                  len(os.listdir(f"/proc/{{worker.pid}}/fd")), int(status.split("SigBlk:")[1].split()[0], 16) & 2)
        outcomes += [outcome for chunk in chunks for outcome in chunk]
        print(sorted(index for index, _ in outcomes) == list(range(40)), all(o["ok"] for _, o in outcomes))
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, check=False)
    assert done.stdout.split("\n") == ["True 5 2", "True 5 2", "True True", ""], done.stderr
