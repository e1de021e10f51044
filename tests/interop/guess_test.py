#!/usr/bin/python3
"""Files that gfortran writes, in several framings, whose records plain rows
of REAL*4 do not read right: --describe proposes a command, which is the one
expected; run as a shell runs it, it converts the file into the arrays the
Fortran program wrote, as scipy reads them back. A file of plain REAL*4
rows gets no proposal and no hint.

usage: guess_test.py --converter PATH
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile

from formats_test import expected_blocks, flat, scipy_dump
from interop_test import compare, run

HERE = os.path.dirname(os.path.abspath(__file__))

FRAMINGS = {
    "native": [],
    "big-endian": ["-fconvert=big-endian"],
    "subrecords": ["-fmax-subrecord-length=12"],
}

# Writer, case, data file, and the options --describe proposes (None: no
# line).
CASES = [
    ("write_guess", "header-arrays", "data.dat",
     "--layout 'record nx, ny: int4; repeat { record a: real4(nx, ny) }'"),
    ("write_guess", "title", "data.dat",
     "--layout 'record title: char(30); record nx, ny, nz: int4; repeat "
     "{ record t: real4; record a: real4(nx, ny, nz) }'"),
    ("write_guess", "frames", "data.dat",
     "--layout 'repeat { record a: real8(6); record x: real4(7); record y: "
     "real4(7); record z: real4(7) }'"),
    ("write_guess", "frames-n", "data.dat",
     "--layout 'record n: int4; repeat { record a: real8(6); record x: "
     "real4(n); record y: real4(n); record z: real4(n) }'"),
    ("write_guess", "time-header", "data.dat",
     "--layout 'record h1: real8; repeat { record a: real4(20) }'"),
    ("write_guess", "real8", "data.dat", "--type real8"),
    ("write_guess", "int4", "data.dat", "--type int4"),
    ("write_guess", "rows", "data.dat", None),
    ("write_formats", "fds-slice", "data.sf", "--layout fds-slice"),
]


def described(args, where, data):
    """The suggest and hint lines of --describe."""
    out = run([args.converter, "--describe", data], cwd=where).stdout.decode()
    return [line.strip() for line in out.split("\n")
            if line.startswith(("  suggest: ", "  hint: "))]


def case_errors(args, where, data, options):
    lines = described(args, where, data)
    want = [] if options is None else [f"suggest: unf2mat {options} {data}"]
    suggested = [line for line in lines if line.startswith("suggest: ")]
    hints = [line for line in lines if line.startswith("hint: ")]
    errors = compare("--describe", suggested, want)
    if options is None and hints:
        errors.append(f"hints {hints!r}")
    if not suggested or errors:
        return errors
    # As pasted into a shell, the converter's path for its name.
    command = suggested[0][len("suggest: "):]
    done = subprocess.run(["sh", "-c", shlex.quote(args.converter) +
                           command[len("unf2mat"):]], cwd=where,
                          capture_output=True, timeout=60)
    if done.returncode != 0 or done.stderr:
        return [f"{command}: exit {done.returncode}, stderr "
                f"{done.stderr.decode()!r}"]
    mat = os.path.join(where, os.path.splitext(data)[0] + ".mat")
    want = flat(expected_blocks(os.path.join(where, "expected.txt"), False))
    return compare("scipy", scipy_dump(mat), want)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--converter", required=True)
    args = parser.parse_args()

    failures = []
    with tempfile.TemporaryDirectory(prefix="unf2mat-guess-") as work:
        for framing, flags in FRAMINGS.items():
            for source in sorted({writer for writer, _, _, _ in CASES}):
                run(["gfortran", *flags, "-J", work, "-o",
                     os.path.join(work, f"{source}-{framing}"),
                     os.path.join(HERE, "expected_values.f90"),
                     os.path.join(HERE, source + ".f90")])
            for writer, case, data, options in CASES:
                where = os.path.join(work, framing, case)
                os.makedirs(where)
                run([os.path.join(work, f"{writer}-{framing}"), case],
                    cwd=where)
                errors = case_errors(args, where, data, options)
                failures += [f"{framing}/{case}: {e}" for e in errors]
                print(f"{framing}/{case}: {'FAILED' if errors else 'ok'}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
