"""Writes an FDS slice file (what `--layout fds-slice` reads): three names,
the box's bounds, then per time step a record of the time and a record of
the box's values, framed with 4-byte markers in this machine's byte order.

usage: make_fds.py FILE STEPS NX NY NZ
"""
import sys

import numpy


def record(payload):
    marker = numpy.array([len(payload)], dtype=numpy.uint32).tobytes()
    return marker + payload + marker


def main():
    path = sys.argv[1]
    steps, nx, ny, nz = (int(a) for a in sys.argv[2:6])
    with open(path, "wb") as out:
        for name in ("TEMPERATURE", "temp", "C"):
            out.write(record(name.ljust(30).encode()))
        bounds = numpy.array([0, nx - 1, 0, ny - 1, 0, nz - 1], numpy.int32)
        out.write(record(bounds.tobytes()))
        values = numpy.arange(nx * ny * nz, dtype=numpy.float32)
        for step in range(steps):
            out.write(record(numpy.float32(step * 0.5).tobytes()))
            out.write(record((values + step).tobytes()))


if __name__ == "__main__":
    main()
