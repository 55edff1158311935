"""A uniform random sample of rows, drawn in one pass over chunks of rows.

    from tabrix_libs.sampling import sample_rows
    from tabrix_libs.tableio import CsvReader

    with CsvReader("big.csv") as reader:
        rows, read = sample_rows(reader.chunks(10000), 100000, seed=0)

Memory stays that of the sample and one chunk, whatever the length of the input.
"""


def sample_rows(chunks, size, seed=0):
    """Draws `size` rows uniformly at random out of `chunks`, an iterable of lists of rows, in
    one pass (reservoir sampling); returns (the sampled rows in their input order, the number of
    rows read). When there are at most `size` rows, every row is returned, in order.

    Row i (0-based, counted over all chunks) gets one uniform draw u_i from
    numpy.random.RandomState(seed), in row order; a row past the first `size` replaces the
    sampled row at position floor(u_i * (i + 1)) when that position is below `size`. The draws
    and the replacements follow the rows, not the chunks, so the sample depends on the seed and
    the rows alone, not on how the rows were cut into chunks."""
    import numpy as np

    if size < 1:
        raise ValueError("the sample size must be at least 1, got %r" % (size,))
    rng = np.random.RandomState(seed)
    sample, position = [], []  # the rows kept, and their row numbers
    read = 0
    for chunk in chunks:
        m = len(chunk)
        if not m:
            continue
        draws = rng.random_sample(m)  # consecutive calls continue one stream of draws
        first = read
        read += m
        fill = min(max(size - first, 0), m)  # rows that go straight into a sample not yet full
        sample.extend(chunk[:fill])
        position.extend(range(first, first + fill))
        if fill == m:
            continue
        numbers = np.arange(first + fill, read)
        slots = np.minimum((draws[fill:] * (numbers + 1)).astype(np.int64), numbers)
        for k in np.flatnonzero(slots < size).tolist():  # in row order: later rows win
            slot = int(slots[k])
            sample[slot] = chunk[fill + k]
            position[slot] = first + fill + k
    order = np.argsort(np.asarray(position, dtype=np.int64), kind="stable")
    return [sample[i] for i in order.tolist()], read
