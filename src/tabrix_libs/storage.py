"""Where the command's files live, in one place: local paths and the URLs of any storage fsspec
knows (s3://, gs://, az:// and abfs://, http(s):// to read, memory://, file://), globs and
folders of parts, opening, writes that appear whole or not at all, and storage errors.

    from tabrix_libs import storage
    storage.configure({"anon": True})                 # --storage-options, for every URL
    for path in storage.expand("s3://lake/in/*.parquet"):
        with storage.open_input(path) as f:
            ...
    out = storage.AtomicFile("s3://lake/out/predicted.csv")
    out.file.write(data)
    out.commit()                                      # or out.abort(): nothing is left behind

Credentials and endpoints come from where each backend's users already set them (for S3:
AWS_ENDPOINT_URL, AWS_PROFILE, AWS_ACCESS_KEY_ID and the AWS config files); configure() adds
options for the rest. fsspec and the backends are optional: a URL whose backend is missing is
one line naming what to install.

A storage failure is one line: InputError (exit code 2) when the input is at fault (no such
bucket or key, access denied, no credentials, a read-only storage written to) and
StorageUnavailable (exit code 1) when the infrastructure is (an endpoint that does not answer, a
timeout).
"""

import contextlib
import glob
import os
import shutil
import tempfile
import uuid

from tabrix_libs.errors import InputError, StorageUnavailable

# What each URL scheme needs, to name it when it is missing: (package, extra of this package).
BACKENDS = {
    "s3": ("s3fs", "storage"),
    "s3a": ("s3fs", "storage"),
    "gs": ("gcsfs", "gcs"),
    "gcs": ("gcsfs", "gcs"),
    "az": ("adlfs", "azure"),
    "abfs": ("adlfs", "azure"),
    "abfss": ("adlfs", "azure"),
    "http": ("aiohttp", "storage"),
    "https": ("aiohttp", "storage"),
}
READ_ONLY = ("http", "https")
FSSPEC_INSTALL = (
    "%s is a URL: reading and writing URLs needs fsspec: pip install 'tabrix-libs[storage]'"
)
# Files of a folder of parts that are data: by their suffix, hidden and "_" files left out.
DATA_SUFFIXES = (".csv", ".parquet", ".parq", ".pq")

_options = {}


def configure(options):
    """Options given to every URL's filesystem (the JSON object of --storage-options), on top
    of what the backend reads from the environment and its config files."""
    global _options
    if not isinstance(options, dict):
        raise InputError("--storage-options must be a JSON object, e.g. '{\"anon\": true}'")
    _options = dict(options)


def options():
    """The options set by configure(), to pass to the processes that open the same URLs."""
    return dict(_options)


def scheme(path):
    """The URL scheme of `path` ("s3", "memory", ...), or None for a local path. file:// URLs
    count as local."""
    head, sep, _ = path.partition("://")
    if not sep or not head or not all(c.isalnum() or c in "+-." for c in head):
        return None
    return None if head.lower() == "file" else head.lower()


def is_url(path):
    return scheme(path) is not None


def local(path):
    """A local path as the OS takes it (file:// taken off)."""
    return path[len("file://") :] if path.lower().startswith("file://") else path


def _fsspec(path):
    try:
        import fsspec
    except ImportError:
        raise InputError(FSSPEC_INSTALL % path) from None
    return fsspec


def filesystem(path):
    """(fsspec filesystem, path within it) of a URL."""
    fsspec = _fsspec(path)
    name = scheme(path)
    try:
        return fsspec.core.url_to_fs(path, **_options)
    except ImportError:
        package, extra = BACKENDS.get(name, ("the fsspec backend of %s://" % name, "storage"))
        raise InputError(
            "%s needs %s: pip install %s (or 'tabrix-libs[%s]')" % (path, package, package, extra)
        ) from None
    except ValueError as e:
        raise InputError("%s: %s" % (path, _first_line(e))) from None
    except TypeError as e:  # an option the backend does not take
        raise InputError("--storage-options for %s: %s" % (path, _first_line(e))) from None


def _full(fs, path):
    return fs.unstrip_protocol(path)


def _first_line(e):
    lines = str(e).strip().splitlines()
    return lines[0] if lines else type(e).__name__


# --------------------------------------------------------------------------------------------
# Errors


# Exception type names (anywhere in the class's ancestry) that mean the storage did not answer:
# botocore's, aiohttp's and the standard library's.
_UNAVAILABLE = frozenset(
    (
        "EndpointConnectionError",
        "ConnectTimeoutError",
        "ReadTimeoutError",
        "ConnectionClosedError",
        "ClientConnectorError",
        "ServerDisconnectedError",
        "ServerTimeoutError",
        "ConnectionError",
        "TimeoutError",
        "timeout",
    )
)
_NO_CREDENTIALS = frozenset(
    ("NoCredentialsError", "PartialCredentialsError", "DefaultCredentialsError")
)


def _names(e):
    return {t.__name__ for t in type(e).__mro__}


def failure(e, path, doing="read"):
    """The one-line exception to raise for `e`, raised while `doing` ("read" or "write") `path`."""
    if isinstance(e, (InputError, StorageUnavailable)):
        return e
    names = _names(e)
    if names & _NO_CREDENTIALS:
        return InputError(
            "cannot %s %s: no credentials (%s); set them as the storage's tools expect, or "
            "with --storage-options" % (doing, path, _first_line(e))
        )
    if isinstance(e, TypeError) and _options and "keyword argument" in str(e):
        # Backends take their options when they first connect, not when they are made.
        return InputError("--storage-options for %s: %s" % (path, _first_line(e)))
    if isinstance(e, FileNotFoundError):
        detail = _first_line(e)
        bucket = "bucket" in detail.lower()
        return InputError(
            "cannot %s %s: %s" % (doing, path, "no such bucket" if bucket else "no such file")
        )
    if isinstance(e, PermissionError):
        return InputError("cannot %s %s: access denied (%s)" % (doing, path, _first_line(e)))
    if isinstance(e, (IsADirectoryError, NotADirectoryError)):
        return InputError("cannot %s %s: %s" % (doing, path, e.strerror or _first_line(e)))
    if names & _UNAVAILABLE:
        return StorageUnavailable(
            "cannot %s %s: the storage does not answer (%s: %s)"
            % (doing, path, type(e).__name__, _first_line(e))
        )
    if isinstance(e, OSError):
        return InputError("cannot %s %s: %s" % (doing, path, e.strerror or _first_line(e)))
    return None


@contextlib.contextmanager
def errors(path, doing="read"):
    """Storage failures inside the block as one-line errors naming `path`."""
    try:
        yield
    except Exception as e:
        mapped = failure(e, path, doing)
        if mapped is None or mapped is e:
            raise
        raise mapped from None


# --------------------------------------------------------------------------------------------
# Finding and reading files


def _data_files(root, names):
    """The data files among `names` (paths under the folder `root`): by their suffix, none with a
    hidden or "_" folder or name below the root (a writer's temporary files, markers)."""

    def wanted(p):
        parts = p[len(root) :].replace(os.sep, "/").strip("/").split("/")
        return not any(s.startswith((".", "_")) for s in parts) and parts[-1].lower().endswith(
            DATA_SUFFIXES
        )

    return sorted(p for p in names if wanted(p))


def expand(pattern):
    """The files `pattern` names, in name order: the file itself, the files a glob pattern
    matches, or the data files of a folder of parts (with its subfolders)."""
    if not is_url(pattern):
        path = local(pattern)
        if os.path.isdir(path):
            found = _data_files(
                path, (os.path.join(top, f) for top, _, files in os.walk(path) for f in files)
            )
            if not found:
                raise InputError(
                    "no data files (%s) in the folder %s" % (", ".join(DATA_SUFFIXES), pattern)
                )
            return found
        if os.path.exists(path) or not glob.has_magic(path):
            return [path]
        found = sorted(p for p in glob.glob(path) if not os.path.isdir(p))
        if not found:
            raise InputError("no file matches %s" % pattern)
        return found
    fs, path = filesystem(pattern)
    with errors(pattern):
        if glob.has_magic(path):
            # As a local glob: no hidden files (a writer's temporary ones among them).
            found = sorted(
                p
                for p in fs.glob(path)
                if not p.rsplit("/", 1)[-1].startswith(".") and not fs.isdir(p)
            )
            if not found:
                raise InputError("no file matches %s" % pattern)
            return [_full(fs, p) for p in found]
        if fs.isdir(path):
            found = _data_files(path, fs.find(path))
            if not found:
                raise InputError(
                    "no data files (%s) in the folder %s" % (", ".join(DATA_SUFFIXES), pattern)
                )
            return [_full(fs, p) for p in found]
    return [pattern]


def size(path):
    """The file's size in bytes."""
    if not is_url(path):
        try:
            return os.path.getsize(local(path))
        except OSError as e:
            raise failure(e, path) from None
    fs, inner = filesystem(path)
    with errors(path):
        return fs.size(inner)


def exists(path):
    if not is_url(path):
        return os.path.exists(local(path))
    fs, inner = filesystem(path)
    with errors(path):
        return fs.exists(inner)


# Bytes an opened URL fetches at a time: what the CSV reader asks for at once, so that reading a
# header or a byte range fetches little beyond it (some backends read ahead tens of MB).
READ_BLOCK_BYTES = 1 << 20


def open_input(path):
    """The file opened for reading in binary mode: a local file, or fsspec's file object."""
    if not is_url(path):
        try:
            return open(local(path), "rb")
        except OSError as e:
            raise failure(e, path) from None
    fs, inner = filesystem(path)
    with errors(path):
        try:
            return fs.open(inner, "rb", block_size=READ_BLOCK_BYTES)
        except TypeError:  # a backend whose files take no block size
            return fs.open(inner, "rb")


def reader_source(path):
    """What the compiled CSV reader reads: a local path (read by descriptor), or the opened file
    object of a URL. Returns (source, file to close or None)."""
    if not is_url(path):
        return local(path), None
    f = open_input(path)
    return f, f


def read_bytes(path):
    """The whole file."""
    with open_input(path) as f, errors(path):
        return f.read()


def is_folder(path):
    """Whether `path` names a folder (it ends with a separator, or exists as one)."""
    if path.endswith(("/", os.sep)):
        return True
    if not is_url(path):
        return os.path.isdir(local(path))
    fs, inner = filesystem(path)
    with errors(path):
        return fs.isdir(inner)


# --------------------------------------------------------------------------------------------
# Writing


def _writable(path):
    if scheme(path) in READ_ONLY:
        raise InputError("cannot write %s: %s:// is read-only" % (path, scheme(path)))


def check_writable(path):
    """Fails early, before any work, for a storage that cannot be written or a backend that is
    missing."""
    _writable(path)
    if is_url(path):
        filesystem(path)


class AtomicFile:
    """A file written under a temporary name beside its own (a temporary key on object
    storage), which takes its name only at commit(): a run that fails leaves no partial file
    and an existing one untouched. `file` is the binary file object to write to."""

    def __init__(self, path):
        self.path = path
        self._tmp = None
        _writable(path)
        if is_url(path):
            self._fs, inner = filesystem(path)
            head, _, base = inner.rstrip("/").rpartition("/")
            self._inner = inner
            self._tmp = (
                "%s/.%s.%s.part" % (head, base, uuid.uuid4().hex)
                if head
                else ".%s.%s.part" % (base, uuid.uuid4().hex)
            )
            with errors(path, "write"):
                self.file = self._fs.open(self._tmp, "wb")
            return
        target = local(path)
        folder = os.path.dirname(os.path.abspath(target))
        try:
            fd, self._tmp = tempfile.mkstemp(
                prefix="." + os.path.basename(target) + ".", suffix=".part", dir=folder
            )
            self.file = os.fdopen(fd, "wb")
        except OSError as e:
            raise failure(e, path, "write") from None

    def commit(self):
        if self._tmp is None:
            return
        try:
            with errors(self.path, "write"):
                self.file.close()
                if is_url(self.path):
                    self._fs.mv(self._tmp, self._inner)
                else:
                    # mkstemp makes the file private; give it the mode a plain open() would have.
                    umask = os.umask(0)
                    os.umask(umask)
                    os.chmod(self._tmp, 0o666 & ~umask)
                    os.replace(self._tmp, local(self.path))
        except BaseException:
            self.abort()
            raise
        self._tmp = None

    def abort(self):
        if self._tmp is None:
            return
        tmp, self._tmp = self._tmp, None
        if is_url(self.path):
            # A multipart upload not finished is dropped; whatever did get written is removed.
            with contextlib.suppress(Exception):
                discard = getattr(self.file, "discard", None)
                if discard is not None:
                    discard()
                self.file.close()
            with contextlib.suppress(Exception):
                if self._fs.exists(tmp):
                    self._fs.rm(tmp)
            return
        with contextlib.suppress(OSError):
            self.file.close()
        with contextlib.suppress(OSError):
            os.unlink(tmp)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            self.commit()
        else:
            self.abort()


class AtomicFolder:
    """A folder of parts written under a temporary folder beside it, which takes its name only at
    commit(); `tmp` is where the parts go (a path or URL other processes can write to). The
    folder must be new or empty."""

    def __init__(self, path):
        self.path = path.rstrip("/" + os.sep)
        self._done = False
        _writable(path)
        if is_url(self.path):
            self._fs, inner = filesystem(self.path)
            with errors(path, "write"):
                if self._fs.exists(inner) and (not self._fs.isdir(inner) or self._fs.ls(inner)):
                    raise InputError("--out %s: the folder must be new or empty" % path)
            self._inner = inner
            head, _, base = inner.rpartition("/")
            self._tmp_inner = "%s/.%s.%s.part" % (head, base, uuid.uuid4().hex)
            self.tmp = _full(self._fs, self._tmp_inner)
            return
        folder = os.path.abspath(local(self.path))
        if os.path.exists(folder) and (not os.path.isdir(folder) or os.listdir(folder)):
            raise InputError("--out %s: the folder must be new or empty" % path)
        try:
            self.tmp = tempfile.mkdtemp(
                prefix="." + os.path.basename(folder) + ".", dir=os.path.dirname(folder)
            )
        except OSError as e:
            raise failure(e, path, "write") from None
        self._folder = folder

    def part(self, name):
        """Where the part `name` goes."""
        return self.tmp + "/" + name if is_url(self.path) else os.path.join(self.tmp, name)

    def commit(self):
        try:
            with errors(self.path, "write"):
                if is_url(self.path):
                    for p in sorted(self._fs.find(self._tmp_inner)):
                        self._fs.mv(p, self._inner + p[len(self._tmp_inner) :])
                    self._cleanup()
                else:
                    umask = os.umask(0)
                    os.umask(umask)
                    os.chmod(self.tmp, 0o777 & ~umask)
                    if os.path.isdir(self._folder):
                        os.rmdir(self._folder)
                    os.replace(self.tmp, self._folder)
        except BaseException:
            self.abort()
            raise
        self._done = True

    def _cleanup(self):
        with contextlib.suppress(Exception):
            if self._fs.exists(self._tmp_inner):
                self._fs.rm(self._tmp_inner, recursive=True)

    def abort(self):
        if self._done:
            return
        self._done = True
        if is_url(self.path):
            self._cleanup()
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


def write_part(path, data):
    """Writes the bytes of one part (a worker's) whole to `path`."""
    if is_url(path):
        fs, inner = filesystem(path)
        with errors(path, "write"):
            fs.pipe_file(inner, data)
        return
    with AtomicFile(path) as out:
        out.file.write(data)
