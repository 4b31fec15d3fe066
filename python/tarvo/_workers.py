"""Scoring on local worker processes, so that a model that crashes its worker or runs it out of
memory fails alone and the run goes on.

Each worker is a fresh interpreter (not a fork: this process may already run the module's pool
threads) whose pool has its share of the processors; _worker is its program. It scores the chunks
it is sent, two in flight so that it never waits for the next one. When a worker dies, or its call
raises, the chunk it was scoring is sent again in halves, down to single models, and a new worker
takes a dead one's place: only a model that fails on its own gets "worker failed: ...". A
worker that ends by itself before answering anything stops the run: workers cannot run here.
"""

import collections
import os
import selectors
import signal
import sys

from ._arguments import CliError
from ._models import item_indices
from ._scoring import CHUNK_PER_THREAD, next_step, worker_threads
from ._worker import message, receive, worker_failure

# Chunks sent to a worker ahead of its answers: it starts the next one as it sends one back,
# while this process hands the finished one on.
CHUNKS_IN_FLIGHT = 2
# A worker's program; its arguments are its pipes' descriptors, then this process's module
# search path, so that it imports the same tarvo and _tarvo_rs.
WORKER_CODE = "import sys; sys.path[:] = sys.argv[3:]; from tarvo._worker import serve; " \
              "serve(int(sys.argv[1]), int(sys.argv[2]))"


def score_on_workers(args, native, models, options):
    """Yields lists of (input index, outcome) as args.workers processes, which share the
    processors (or --threads), finish their chunks; with all_models an index has an outcome per MODEL."""
    threads = worker_threads(args.workers)
    chunks = Chunks(models, args.workers, CHUNK_PER_THREAD * threads)
    workers = []
    try:
        workers.extend(Worker(threads) for _ in range(args.workers if models else 0))
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
                workers.append(Worker(threads))
            if isinstance(outcomes, list):
                chunks.timed(len(files), seconds)
                yield list(item_indices(outcomes, first))
            elif len(files) == 1:
                yield [(first, worker_failure(files[0], native, outcomes))]
            else:
                half = len(files) // 2
                chunks.put_back([(first, files[:half]), (first + half, files[half:])])
    finally:
        for worker in workers:
            os.kill(worker.pid, signal.SIGKILL)
        for worker in workers:
            os.waitpid(worker.pid, 0)
            worker.close()


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
            self.pid = os.posix_spawn(
                sys.executable, [sys.executable, "-c", WORKER_CODE, str(tasks), str(results), *map(str, sys.path)],
                {**os.environ, "TARVO_NUM_THREADS": str(threads)},
                file_actions=[(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                              (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)],
                # SIGINT blocked for the worker's whole life, its threads' too: Ctrl-C, which a terminal
                # sends to the whole process group, is for this process, which stops the workers.
                setsigmask={signal.SIGINT})
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
