"""A preprocessing step that takes its time over each block, so that the Dask tests can stop a
scheduler or a worker while blocks are still being worked on. Importable by worker processes
started with the tests folder on their path."""

import time


class Slow:
    def __init__(self, inner, seconds):
        self.inner, self.seconds = inner, seconds

    def transform(self, X):
        time.sleep(self.seconds)
        return self.inner.transform(X)
