"""Writes a data file of `records` records of `values` single-precision
values each, uniform noise in [0, 1) from a fixed seed, framed with 4-byte
markers in this machine's byte order: data that compresses as little as
measured data does, where make_data's values compress well.

usage: make_noise.py FILE RECORDS VALUES
"""
import sys

import numpy


def main():
    path, records, values = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = numpy.random.default_rng(1)
    marker = numpy.array([values * 4], dtype=numpy.uint32).tobytes()
    # Blocks of records keep memory small whatever the file's size.
    block = max(1, (8 << 20) // (values * 4))
    with open(path, "wb") as out:
        for first in range(0, records, block):
            n = min(block, records - first)
            rows = rng.random((n, values), dtype=numpy.float32)
            framed = numpy.empty((n, values + 2), dtype=numpy.uint32)
            framed[:, 0] = framed[:, -1] = numpy.frombuffer(marker,
                                                            numpy.uint32)[0]
            framed[:, 1:-1] = rows.view(numpy.uint32)
            out.write(framed.tobytes())


if __name__ == "__main__":
    main()
