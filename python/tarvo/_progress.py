"""The progress bar of long runs, drawn only on a terminal."""


class ProgressBar:
    """A one-line bar redrawn in place on a terminal; does nothing when the stream is not one."""

    WIDTH = 30

    def __init__(self, total, stream):
        self.total = total
        self.stream = stream
        self.enabled = stream.isatty()

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
        self.stream.write(f"\rscoring [{bar}] {done}/{self.total}")
        self.stream.flush()
