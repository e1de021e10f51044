#!/usr/bin/python3
"""Converts data files past the limits of a matrix held in memory, from
regular files, in several MAT-file formats, and checks that scipy (h5py for
v7.3) reads back every value bit for bit and that the converter's peak
memory, as /usr/bin/time reports it, stays under its bound.

usage: large_test.py --converter PATH [--no-rss-bound]
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import scipy.io

RSS_BOUND_KIB = 96 * 1024

# One WRITE of a 5,001 x 2,287 REAL array is one record; 6,000 records of
# 10,000 values are 60,000,000 values. Each is converted in each format given
# (more than one tile of values each: the HDF5 dataset is filled a tile at a
# time, the compressed element streamed).
SHAPES = {"one-record": ((1, 5001 * 2287),
                         ("", "--format v7", "--format v7.3 --level 1")),
          "6000x10000": ((6000, 10000), ("", "--format v7.3"))}


def read_back(path, form):
    if "v7.3" not in form:
        return scipy.io.loadmat(path)["big"]
    import h5py

    with h5py.File(path, "r") as f:
        return f["big"][()].T  # HDF5 keeps MATLAB's dimensions reversed


def values(rows, cols):
    rng = np.random.default_rng(rows * 7 + cols)
    m = rng.standard_normal((rows, cols), dtype=np.float32)
    flat = m.reshape(-1)
    flat[:4] = [np.inf, -np.inf, np.float32(1e-45), -0.0]
    return m


def write_records(path, m):
    """4-byte host-order markers around each row, as gfortran writes them."""
    rows, cols = m.shape
    framed = np.empty((rows, cols + 2), dtype=np.uint32)
    framed[:, 0] = framed[:, -1] = cols * 4
    framed[:, 1:-1] = m.view(np.uint32)
    framed.tofile(path)


def write_slice(path, steps, box):
    """An FDS slice file: names, bounds, then per step the time and a box of
    values, as FDS writes it; returns its values, steps last."""
    ni, nj, nk = box
    q = np.empty((steps, nk, nj, ni), dtype=np.float32)
    with open(path, "wb") as f:
        def record(payload):
            head = np.array([len(payload)], dtype=np.uint32).tobytes()
            f.write(head + payload + head)
        for text in ("TEMPERATURE", "temp", "C"):
            record(text.ljust(30).encode())
        record(np.array([1, ni, 1, nj, 1, nk], dtype=np.int32).tobytes())
        for step in range(steps):
            q[step] = values(nk * nj, ni).reshape(nk, nj, ni) + step
            record(np.array([0.5 * step], dtype=np.float32).tobytes())
            record(q[step].tobytes())
    return q


def check_slice(work, converter, rss_bound):
    """A field of a layout, a record a step, within the same memory as
    rows: the values of every step, stacked along a last dimension."""
    failures = 0
    q = write_slice(os.path.join(work, "big.sf"), 60, (100, 100, 100))
    for form in ("--format v7.3", "--class native"):
        rss = os.path.join(work, "rss")
        run = subprocess.run(["/usr/bin/time", "-o", rss, "-f", "%M",
                              converter, "--layout", "fds-slice",
                              *form.split(), "big.sf"],
                             cwd=work, capture_output=True)
        with open(rss) as f:
            peak = int(f.read().split()[-1])
        path = os.path.join(work, "big.mat")
        if run.returncode != 0 or run.stderr:
            print(f"fds-slice {form}: status {run.returncode}, {run.stderr!r}")
            failures += 1
            continue
        if "v7.3" in form:
            import h5py
            with h5py.File(path, "r") as f:
                got = f["q"][()]  # steps first: MATLAB's dimensions reversed
        else:
            got = np.moveaxis(scipy.io.loadmat(path)["q"], -1, 0).transpose(
                0, 3, 2, 1)
        same = got.shape == q.shape and np.array_equal(
            got.astype(np.float32).view(np.uint32), q.view(np.uint32))
        over = peak > RSS_BOUND_KIB and rss_bound
        print(f"fds-slice {form}: {q.shape}, peak RSS {peak} KiB, "
              f"{'ok' if same and not over else 'FAILED'}")
        failures += 0 if same and not over else 1
        os.remove(path)
    os.remove(os.path.join(work, "big.sf"))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--converter", required=True)
    parser.add_argument("--no-rss-bound", action="store_true",
                        help="a sanitized build, whose memory is not the "
                             "converter's own")
    args = parser.parse_args()
    converter = os.path.abspath(args.converter)
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for shape, ((rows, cols), forms) in SHAPES.items():
            m = values(rows, cols)
            data = os.path.join(work, "big.dat")
            write_records(data, m)
            del m
            for form in forms:
                label = f"{shape} {form}".strip()
                rss = os.path.join(work, "rss")
                run = subprocess.run(["/usr/bin/time", "-o", rss, "-f", "%M",
                                      converter, *form.split(), "big.dat"],
                                     cwd=work, capture_output=True)
                with open(rss) as f:
                    peak = int(f.read().split()[-1])
                if run.returncode != 0 or run.stderr:
                    print(f"{label}: status {run.returncode}, "
                          f"{run.stderr!r}")
                    failures += 1
                    continue
                if peak > RSS_BOUND_KIB and not args.no_rss_bound:
                    print(f"{label}: peak RSS {peak} KiB over "
                          f"{RSS_BOUND_KIB}")
                    failures += 1
                got = read_back(os.path.join(work, "big.mat"), form)
                want = values(rows, cols).astype(np.float64)
                same = got.shape == want.shape and np.array_equal(
                    got.view(np.uint64), want.view(np.uint64))
                print(f"{label}: {rows} x {cols}, peak RSS {peak} KiB, "
                      f"{'ok' if same else 'values differ'}")
                failures += 0 if same else 1
                del got, want
                os.remove(os.path.join(work, "big.mat"))
            os.remove(data)
        failures += check_slice(work, converter, not args.no_rss_bound)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
