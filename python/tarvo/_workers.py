"""Scoring on local worker processes, so that a model that crashes its worker or runs it out of
memory fails alone and the run goes on.

Each worker is a process of its own (a fork or a fresh interpreter: see LocalWorkers) whose pool
has its share of the processors; _worker is its program. It scores the chunks
it is sent, two in flight so that it never waits for the next one. When a worker dies, or its call
raises, the chunk it was scoring is sent again in halves, down to single models, and a new worker
takes a dead one's place: only a model that fails on its own gets "worker failed: ...". A
worker that ends by itself before answering anything stops the run: workers cannot run here.
"""

import collections
import contextlib
import os
import selectors
import signal
import sys

from ._arguments import CliError
from ._models import item_indices
from ._scoring import CHUNK_PER_THREAD, next_step, worker_threads
from ._worker import message, receive, serve, worker_failure

# Chunks sent to a worker ahead of its answers: it starts the next one as it sends one back,
# while this process hands the finished one on.
CHUNKS_IN_FLIGHT = 2
# A worker's program; its arguments are its pipes' descriptors, then this process's module
# search path, so that it imports the same tarvo and _tarvo_rs.
WORKER_CODE = "import sys; sys.path[:] = sys.argv[3:]; from tarvo._worker import serve; " \
              "serve(int(sys.argv[1]), int(sys.argv[2]))"


class LocalWorkers:
    """The worker processes of a run, and its scoring on them.

    Started before this process runs any thread of the module's pool (that is, before it scores
    anything), they are forks of it: a fork starts in a fraction of a millisecond, a fresh
    interpreter takes some 15 ms of processor time, and on a machine the workers keep busy the
    difference is the run's. Those that take a dead one's place are fresh interpreters, since a
    fork of a process that runs threads is not sound.
    """

    def __init__(self, count):
        self.threads = worker_threads(count)
        self.workers = []
        try:
            self.workers.extend(Worker(self.threads) for _ in range(count))
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()

    def score(self, args, native, models, options):
        """Yields lists of (input index, outcome) as the workers finish their chunks; with
        all_models an index has an outcome per MODEL. The workers end with it."""
        workers = self.workers
        chunks = Chunks(models, len(workers), CHUNK_PER_THREAD * self.threads)
        try:
            while True:
                for worker in workers:
                    worker.feed(chunks, native, options)
                worker = answering(workers)
                if worker is None:
                    return
                first, files = worker.sent.popleft()
                try:
                    outcomes, seconds = receive(worker.results)
                    worker.answered = True
                except EOFError:
                    workers.remove(worker)
                    outcomes = worker.ended()
                    if worker.exit_status >= 0 and not worker.answered:
                        # No model ends a worker so (crashes are signals, errors are answers): workers
                        # cannot run here, and every new one would end so too, once per model.
                        raise CliError(f"cannot run a worker process: {outcomes} before scoring any model", 1)
                    chunks.put_back(worker.sent)  # not started yet: sent again as they are
                    workers.append(Worker(self.threads))
                if isinstance(outcomes, list):
                    chunks.timed(len(files), seconds)
                    yield list(item_indices(outcomes, first))
                elif len(files) == 1:
                    yield [(first, worker_failure(files[0], native, outcomes))]
                else:
                    half = len(files) // 2
                    chunks.put_back([(first, files[:half]), (first + half, files[half:])])
        finally:
            self.stop()

    def stop(self):
        for worker in self.workers:
            os.kill(worker.pid, signal.SIGKILL)
        for worker in self.workers:
            os.waitpid(worker.pid, 0)
            worker.close()
        self.workers.clear()


class Chunks:
    """The (first input index, models) chunks still to send: those to send again first, then new
    ones cut from the models, first `first` models long and growing toward CHUNK_SECONDS of work."""

    def __init__(self, models, workers, first):
        self.models, self.workers = models, workers
        self.first = self.step = first
        self.start = 0
        self.again = collections.deque()

    def __bool__(self):
        return bool(self.again) or self.start < len(self.models)

    def take(self):
        if self.again:
            return self.again.popleft()
        # Never so large that one worker is left alone with the tail of the run.
        size = max(self.first, min(self.step, (len(self.models) - self.start) // (2 * self.workers)))
        chunk = (self.start, self.models[self.start:self.start + size])
        self.start += len(chunk[1])
        return chunk

    def put_back(self, chunks):
        """Chunks to send again before any other."""
        self.again.extendleft(reversed(chunks))

    def timed(self, count, seconds):
        """Sizes the chunks to come by how long a worker took for `count` models."""
        self.step = next_step(self.step, self.first, seconds / count)


class Worker:
    """A worker process, this process's ends of its two pipes, the chunks sent to it that it has
    not answered, oldest first (the first is the one it is scoring), and the bytes of tasks that
    its pipe has not taken yet."""

    def __init__(self, threads):
        self.answered = False
        self.exit_status = None  # once it has ended: its exit status, or minus the signal that ended it
        tasks, self.tasks = os.pipe()
        self.results, results = os.pipe()
        self.sent = collections.deque()
        self.unsent = bytearray()
        # Tasks are written as the pipe takes them, never waiting: a worker that is sending its
        # outcomes reads no task until this process has read them.
        os.set_blocking(self.tasks, False)
        os.set_inheritable(tasks, True)
        os.set_inheritable(results, True)
        try:
            self.pid = (forked_worker if alone() else spawned_worker)(tasks, results, threads)
        except OSError as error:
            self.close()
            raise CliError(f"cannot start a worker process: {error}", 1) from None
        finally:
            os.close(tasks)
            os.close(results)

    def feed(self, chunks, native, options):
        """Sends it chunks until CHUNKS_IN_FLIGHT are in flight or none is left."""
        while len(self.sent) < CHUNKS_IN_FLIGHT and chunks:
            first, files = chunk = chunks.take()
            self.sent.append(chunk)
            self.unsent += message((native, files, options))
        if self.unsent:
            self.send()

    def send(self):
        """Writes as much of the unsent tasks as its pipe takes now."""
        try:
            del self.unsent[:os.write(self.tasks, self.unsent)]
        except BlockingIOError:
            pass
        except BrokenPipeError:
            self.unsent.clear()  # it died: its results pipe says so, and its chunks go out again

    def ended(self):
        """How the process ended, once it has."""
        status = self.exit_status = os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1])
        self.close()
        if status < 0:
            return f"the worker process died (signal {-status}: {signal.strsignal(-status)})"
        return f"the worker process ended (exit status {status})"

    def close(self):
        os.close(self.tasks)
        os.close(self.results)


# Either way a worker starts with SIGINT blocked for its whole life, its threads' too: Ctrl-C, which a
# terminal sends to the whole process group, is for this process, which stops the workers.

def spawned_worker(tasks, results, threads):
    """The process id of a fresh interpreter that serves the pipes `tasks` and `results`."""
    return os.posix_spawn(
        sys.executable, [sys.executable, "-c", WORKER_CODE, str(tasks), str(results), *map(str, sys.path)],
        {**os.environ, "TARVO_NUM_THREADS": str(threads)},
        file_actions=[(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                      (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)],
        setsigmask={signal.SIGINT})


def forked_worker(tasks, results, threads):
    """The process id of a fork of this process that serves the pipes `tasks` and `results`, set up as
    a spawned worker would start: only its own pipes and the standard streams open, the standard
    input and output on os.devnull, SIGTERM's default action. It never returns from here."""
    unblocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    pid = os.fork()
    if pid:
        signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
        return pid
    status = 1
    try:
        for fd in map(int, os.listdir("/proc/self/fd")):
            # What an exec would close, as the pipes of the workers started before this one; one
            # of the listed is listdir's own, closed since.
            with contextlib.suppress(OSError):
                if fd > 2 and fd not in (tasks, results) and not os.get_inheritable(fd):
                    os.close(fd)
        devnull = os.open(os.devnull, os.O_RDWR)
        os.dup2(devnull, 0)
        os.dup2(devnull, 1)
        os.close(devnull)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        os.environ["TARVO_NUM_THREADS"] = str(threads)
        serve(tasks, results)
        status = 0
    except BaseException:
        sys.excepthook(*sys.exc_info())  # as a spawned worker's interpreter would show it
    finally:
        os._exit(status)


def alone():
    """Whether this process runs a single thread, which makes a fork of it sound; False where Linux's
    /proc does not tell."""
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def answering(workers):
    """A worker with an answer (or its end) to read, once there is one; None if none has a chunk.
    Meanwhile unsent tasks go out as their pipes take them."""
    while any(worker.sent for worker in workers):
        with selectors.DefaultSelector() as selector:
            for worker in workers:
                if worker.sent:
                    selector.register(worker.results, selectors.EVENT_READ, worker)
                if worker.unsent:
                    selector.register(worker.tasks, selectors.EVENT_WRITE, worker)
            for key, _ in selector.select():
                if key.fd == key.data.results:
                    return key.data
                key.data.send()
    return None
