"""What runs in a worker process of tarvo rank --workers (see _workers): its loop and the messages
on its pipes; and the outcome of a model that fails its worker, shared with tarvo.distributed.

It imports little beyond the module, so that a worker starts in a few milliseconds.
"""

import marshal
import os
import time

from _tarvo_rs import score_one_vs_many


def worker_failure(model, native, description):
    """The outcome of a model that made its worker fail on its own, in the module's key order."""
    return {"model": os.fspath(model), "native": os.fspath(native), "ok": False,
            "error": f"worker failed: {description}"}


def error_text(error):
    """An exception as "Type: message", or its type alone when it says nothing more."""
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def serve(tasks, results):
    """A worker's loop: scores each (native, models, options) that comes on the pipe `tasks` and
    sends back (outcomes, seconds taken), the outcomes being the text of an error the call raised.
    Ends when the pipe closes. SIGINT stays blocked, as the worker was started (see _workers).

    A chunk's outcomes are sent by a thread while the next chunk scores: the parent reads them
    when it is done with the chunk before, and the worker does not wait for it meanwhile."""
    sending = None
    while True:
        try:
            native, models, options = receive(tasks)
        except EOFError:
            break
        began = time.monotonic()
        try:
            outcomes = score_one_vs_many(native, models, **options)
        except Exception as error:  # MemoryError too: the parent splits the chunk as for a crash
            outcomes = error_text(error)
        answer = message((outcomes, time.monotonic() - began))
        if sending is not None and not sending.wait():
            return  # the parent is gone
        sending = Sending(results, answer)
    if sending is not None:
        sending.wait()


class Sending:
    """A message being written to a pipe by a thread of its own."""

    def __init__(self, fd, data):
        import threading  # here, not at the top: a worker that is never sent a chunk starts without it

        self.sent = False
        self.thread = threading.Thread(target=self.write, args=(fd, data))
        self.thread.start()

    def write(self, fd, data):
        try:
            write_all(fd, data)
            self.sent = True
        except OSError:  # the parent is gone
            pass

    def wait(self):
        """Whether the message went out whole, once the thread is done."""
        self.thread.join()
        return self.sent


def message(value):
    """`value` as the pipes carry it: the length of its marshal form, then that form.

    marshal, not pickle: tasks and outcomes are plain dictionaries, lists, strings and numbers, both
    ends run the same interpreter, and it needs no import (pickle's would slow a worker's start).
    """
    data = marshal.dumps(value)
    return len(data).to_bytes(8, "little") + data


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def receive(fd):
    """The next value that came as a message on the pipe `fd`; EOFError once its writer has gone."""
    return marshal.loads(read_exactly(fd, int.from_bytes(read_exactly(fd, 8), "little")))


def read_exactly(fd, size):
    parts = []
    while size:
        part = os.read(fd, min(size, 1 << 20))
        if not part:
            raise EOFError
        parts.append(part)
        size -= len(part)
    return b"".join(parts)
