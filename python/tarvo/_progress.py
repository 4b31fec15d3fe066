"""The progress bar of long runs, drawn only on a terminal."""

import time


class ProgressBar:
    """A one-line bar redrawn in place on a terminal; does nothing when the stream is not one."""

    WIDTH = 30

    def __init__(self, total, stream, clock=time.monotonic):
        self.total = total
        self.stream = stream
        self.enabled = stream.isatty()
        self.clock = clock
        self.started = clock()

    def __enter__(self):
        self.update(0)
        return self

    def __exit__(self, *exc_info):
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def update(self, done):
        if not self.enabled:
            return
        # Nothing to do (a resumed run that was complete) is a full bar.
        filled = self.WIDTH * done // self.total if self.total else self.WIDTH
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self.stream.write(f"\rscoring [{bar}] {done}/{self.total}{self.pace(done)}\033[K")
        self.stream.flush()

    def pace(self, done):
        """The rate since the start and the time left at that rate, once there is one to tell."""
        elapsed = self.clock() - self.started
        if not done or elapsed <= 0:
            return ""
        rate = done / elapsed
        return f"  {rate:.1f} models/s  {duration((self.total - done) / rate)} left"


def duration(seconds):
    minutes, seconds = divmod(round(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"
