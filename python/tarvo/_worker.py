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
    Ends when the pipe closes. SIGINT stays blocked, as the worker was started (see _workers)."""
    while True:
        try:
            native, models, options = receive(tasks)
        except EOFError:
            return
        began = time.monotonic()
        try:
            outcomes = score_one_vs_many(native, models, **options)
        except Exception as error:  # MemoryError too: the parent splits the chunk as for a crash
            outcomes = error_text(error)
        try:
            send(results, (outcomes, time.monotonic() - began))
        except BrokenPipeError:
            return  # the parent is gone


def message(value):
    """`value` as the pipes carry it: the length of its marshal form, then that form.

    marshal, not pickle: tasks and outcomes are plain dictionaries, lists, strings and numbers, both
    ends run the same interpreter, and it needs no import (pickle's would slow a worker's start).
    """
    data = marshal.dumps(value)
    return len(data).to_bytes(8, "little") + data


def send(fd, value):
    view = memoryview(message(value))
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
