"""A uniform random sample of rows, drawn in one pass over chunks of rows.

    from tabrix_libs.sampling import sample_rows
    from tabrix_libs.tableio import CsvReader

    with CsvReader("big.csv") as reader:
        rows, read = sample_rows(reader.blocks(10000), 100000, seed=0)

Memory stays that of the sample and one chunk, whatever the length of the input.
"""


def sample_rows(chunks, size, seed=0, positions=False):
    """Draws `size` rows uniformly at random out of `chunks`, an iterable of 2-D object arrays
    (or lists of rows) with the same number of columns, in one pass (reservoir sampling); returns
    (the sampled rows in their input order as a 2-D object array, the number of rows read), and
    with positions=True also the sampled rows' numbers in the input (0-based, an int64 array).
    When there are at most `size` rows, every row is returned, in order.

    Row i (0-based, counted over all chunks) gets one uniform draw u_i from
    numpy.random.RandomState(seed), in row order; a row past the first `size` replaces the
    sampled row at position floor(u_i * (i + 1)) when that position is below `size`, later rows
    winning. The draws and the replacements follow the rows, not the chunks, so the sample
    depends on the seed and the rows alone, not on how the rows were cut into chunks."""
    import numpy as np

    if size < 1:
        raise ValueError("the sample size must be at least 1, got %r" % (size,))
    rng = np.random.RandomState(seed)
    sample = position = None  # the rows kept, and their row numbers
    read = 0
    for chunk in chunks:
        block = chunk if isinstance(chunk, np.ndarray) else np.array(chunk, dtype=object)
        m = len(block)
        if not m:
            continue
        if sample is None:
            sample = np.empty((size,) + block.shape[1:], dtype=object)
            position = np.empty(size, dtype=np.int64)
        draws = rng.random_sample(m)  # consecutive calls continue one stream of draws
        first = read
        read += m
        fill = min(max(size - first, 0), m)  # rows that go straight into a sample not yet full
        sample[first : first + fill] = block[:fill]
        position[first : first + fill] = np.arange(first, first + fill)
        if fill == m:
            continue
        numbers = np.arange(first + fill, read)
        slots = np.minimum((draws[fill:] * (numbers + 1)).astype(np.int64), numbers)
        hits = np.flatnonzero(slots < size)
        if hits.size:
            # Each slot takes the last of its rows in this chunk, as one row after another would.
            taken, last = np.unique(slots[hits][::-1], return_index=True)
            rows = fill + hits[hits.size - 1 - last]
            sample[taken] = block[rows]
            position[taken] = first + rows
    if sample is None:
        empty = np.empty((0, 0), dtype=object), 0
        return empty + (np.empty(0, dtype=np.int64),) if positions else empty
    kept = min(size, read)
    order = np.argsort(position[:kept], kind="stable")
    if positions:
        return sample[:kept][order], read, position[:kept][order]
    return sample[:kept][order], read
