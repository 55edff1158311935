"""The command's two kinds of failure, each reported in one line: a problem with what the user
gave us (exit code 2), and storage that did not answer (exit code 1)."""


class InputError(Exception):
    """A problem with what the user gave us: reported in one line, exit code 2."""


class StorageUnavailable(Exception):
    """The storage did not answer (an endpoint down, a timeout): one line, exit code 1."""
