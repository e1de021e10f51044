#!/usr/bin/python3
"""Converts data files that gfortran writes with header records, arrays and
several fields per record (--skip, --record, --header, --dims, --class,
--join), and checks that GNU Octave, scipy and matio each read back every
variable's class, dimensions and bits as the Fortran program recorded them.

usage: layouts_test.py --converter PATH --matio-dump PATH
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

from interop_test import compare, run

HERE = os.path.dirname(os.path.abspath(__file__))

# Case of write_layouts.f90, options and data files (the MAT-file is -o
# out.mat), the variables (NAME, or NAME=ENTRY of expected.txt), and what
# the one warning names, if any.
CONVERSIONS = [
    ("header3d", "--header nx:int4,ny:int4,nz:int4 --record a:real4(5,3,2) "
     "data.dat", "nx ny nz a", ""),
    ("header3d", "--header nx:int4,ny:int4,nz:int4 --record a:real4(5,3,2) "
     "--class native data.dat", "nx ny nz a", ""),
    ("header3d", "--skip 1 --dims 5x3x2 data.dat", "data=a", ""),
    ("header3d", "--skip 1 --dims 5x3x2 --class single data.dat", "data=a",
     ""),
    ("header3d", "--skip 1 data.dat", "data=rows", ""),
    ("mixed", "--record t:real8,u:real4(4,3),k:int4(6) --class native "
     "data.dat", "t u k", ""),
    ("mixed", "--record t:real8,u:real4(4,3),k:int4(6) data.dat", "t u k", ""),
    ("mixed", "--record _:real8,_:real4(4,3),k:int4(6) data.dat", "k", ""),
    ("mixed", "--record _:real8,u:real4(4,3) data.dat", "u", ""),
    ("series", "--join --header time:real8 --record u:real4(5,2) "
     "step1.dat step2.dat step3.dat", "time u", ""),
    ("series", "--header time:real8 --record u:real4(5,2) step1.dat "
     "step2.dat step3.dat", "step1_time step1_u step2_time step2_u "
     "step3_time step3_u", ""),
    ("single", "--class single data.dat", "data", ""),
    ("int8", "--record big:int8(3) --class native data.dat", "big", ""),
    ("int8", "--type int8 --class native data.dat", "data=rows", ""),
    ("star", "--record u:real4(4,*) data.dat", "u", "record 5"),
    ("star", "--record u:real4(4,*) one.dat", "u=one43", ""),
    ("star", "--record u:real4(2,3,2) one.dat", "u=one232", ""),
    ("several", "a.dat b.dat", "a b", ""),
    ("several", "--join a.dat c.dat", "a=ac", ""),
]

# Runs that fail (exit 1), with what the one line on stderr names: record 3
# holds the first value a double does not hold exactly (-2**63 in record 2
# is held).
FAILURES = [
    ("int8", "--record big:int8(3) data.dat",
     ["record 3", "big", "--class native"]),
    ("int8", "--type int8 data.dat", ["record 3", "--class native"]),
    ("several", "--join -o joined.mat a.dat c.dat b.dat", ["b.dat"]),
]

# Usage errors (exit 2) on records of 12 values; a layout alone is --record's.
USAGE_ERRORS = [
    "u:real4(4", "u:real4(4,3),u:int4", "u:real4(0,3)", "u:real4(2147483648)",
    "u:real4(*,3)", "u:real4(4,*),v:real4", "u:real16(4,3)", "u:real4(4;3)",
    "--header u:int4 --record u:real4(4,3)", "t:real8 --class single",
    "_:real8,u:int4(1) --class single", "--type int4 --class single",
    "--type real4 --record u:real4(4,3)",
]

HINT = ("  hint: the first record holds 12 bytes and the 4 after it 120 bytes "
        "each; a header record? --skip 1 reads 4 x 30")

NATIVE = {"real4": "single", "real8": "double", "int4": "int32",
          "int8": "int64"}
BIG_ENDIAN = {"real4": ">f", "real8": ">d", "int4": ">i", "int8": ">q"}


def read_expected(path):
    """{entry: (type, dims, [hex])} from expected.txt."""
    entries = {}
    for line in open(path).read().split("\n")[:-1]:
        fields = line.split()
        if len(fields) > 1:
            words = []
            entries[fields[0]] = (fields[1], fields[2:], words)
        else:
            words.append(fields[0].lower())
    return entries


def variables(spec, entries, options):
    """(name, class, dims, [hex]) of each variable, in the order given;
    widening to double is exact, and keeps a quiet NaN's payload."""
    words = options.split()
    chosen = words[words.index("--class") + 1] if "--class" in words \
        else "double"
    out = []
    for item in spec.split():
        name, _, entry = item.partition("=")
        value_type, dims, bits = entries[entry or name]
        klass = NATIVE[value_type] if chosen == "native" else chosen
        if klass != NATIVE[value_type]:
            bits = [struct.pack(">d", struct.unpack(
                BIG_ENDIAN[value_type], bytes.fromhex(b))[0]).hex()
                for b in bits]
        out.append((name, klass, dims, bits))
    return out


def by_name(lines):
    """A dump's variables sorted by name, each its header line and bits."""
    blocks = []
    for line in lines:
        if " " in line or not blocks:
            blocks.append([])
        blocks[-1].append(line)
    return [line for block in sorted(blocks) for line in block]


OCTAVE_SCRIPT = r"""
for [v, name] = load("{path}")
  printf("%s %s%s\n", name, class(v), sprintf(" %d", size(v)));
  if !isreal(v), printf("complex\n"); end
  words = typecast(v(:), "uint32");
  if any(strcmp(class(v), {{"double", "int64"}}))
    printf("%08x%08x\n", [words(2:2:end)'; words(1:2:end)']);
  else
    printf("%08x\n", words);
  end
end
"""


def octave_dump(path):
    out = run(["octave-cli", "--norc", "--no-history", "--quiet", "--eval",
               OCTAVE_SCRIPT.format(path=path)]).stdout.decode()
    return by_name(out.split("\n")[:-1])


def scipy_dump(path):
    import scipy.io

    classes = {"float64": "double", "float32": "single"}
    out = []
    for name, v in scipy.io.loadmat(path, mat_dtype=True).items():
        if name.startswith("__"):
            continue
        out.append(f"{name} {classes.get(v.dtype.name, v.dtype.name)} " +
                   " ".join(map(str, v.shape)))
        size, data = v.dtype.itemsize, v.tobytes(order="F")
        order = "big" if v.dtype.byteorder == ">" else "little"
        out += ["%0*x" % (2 * size, int.from_bytes(data[k:k + size], order))
                for k in range(0, len(data), size)]
    return by_name(out)


def matio_dump(tool, path):
    return by_name(run([tool, "--all", path]).stdout.decode().split("\n")[:-1])


def converted(args, where, options, spec, warning, entries):
    done = subprocess.run([args.converter, "-o", "out.mat", *options.split()],
                          cwd=where, capture_output=True)
    errors = [] if done.returncode == 0 else [f"exit {done.returncode}"]
    err = done.stderr.decode()
    if err != "" if not warning else not (
            err.count("\n") == 1 and warning in err and
            err.startswith("unf2mat: warning: ")):
        errors.append(f"stderr {err!r}")
    if errors:
        return errors
    want = variables(spec, entries, options)
    dump = by_name([line for name, klass, dims, bits in want
                    for line in [f"{name} {klass} {' '.join(dims)}", *bits]])
    mat = os.path.join(where, "out.mat")
    errors += compare("octave", octave_dump(mat), dump)
    errors += compare("scipy", scipy_dump(mat), dump)
    errors += compare("matio", matio_dump(args.matio_dump, mat), dump)
    # One data file read by a layout: --describe names its variables.
    if "--record" in options and options.count(".dat") == 1:
        described = run([args.converter, "--describe", *options.split()],
                        cwd=where).stdout.decode().split("\n")
        lines = [f"  variable: {name}, {' x '.join(dims)}, {klass}"
                 for name, klass, dims, _ in want]
        errors += compare("--describe", [line for line in described if
                                         line.startswith("  variable:")],
                          lines)
    return errors


def refused(args, where, options, status, words):
    """A failure in one line of stderr that leaves no file behind."""
    before = set(os.listdir(where))
    done = subprocess.run([args.converter, *options.split()], cwd=where,
                          capture_output=True)
    err = done.stderr.decode()
    errors = [] if done.returncode == status else [f"exit {done.returncode}"]
    if err.count("\n") != 1 or not all(w in err for w in words):
        errors.append(f"stderr {err!r}")
    if set(os.listdir(where)) != before:
        errors.append(f"left {sorted(set(os.listdir(where)) - before)}")
    return errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--converter", required=True)
    parser.add_argument("--matio-dump", required=True)
    args = parser.parse_args()

    failures = []
    with tempfile.TemporaryDirectory(prefix="unf2mat-layouts-") as work:
        writer = os.path.join(work, "write_layouts")
        run(["gfortran", "-o", writer,
             os.path.join(HERE, "write_layouts.f90")])
        entries = {}
        for case in {row[0] for row in CONVERSIONS}:
            os.mkdir(os.path.join(work, case))
            run([writer, case], cwd=os.path.join(work, case))
            entries[case] = read_expected(
                os.path.join(work, case, "expected.txt"))
        for case, options, spec, warning in CONVERSIONS:
            errors = converted(args, os.path.join(work, case), options, spec,
                               warning, entries[case])
            failures += [f"{case} {options}: {e}" for e in errors]
            print(f"{case} {options}: {'FAILED' if errors else 'ok'}")
        runs = [(case, options, 1, words) for case, options, words in FAILURES]
        runs += [("star", ("" if options.startswith("-") else "--record ") +
                  options + " data.dat", 2, ["--help"])
                 for options in USAGE_ERRORS]
        for case, options, status, words in runs:
            errors = refused(args, os.path.join(work, case), options, status,
                             words)
            failures += [f"{case} {options}: {e}" for e in errors]
            print(f"{case} {options}: {'FAILED' if errors else 'refused'}")
        described = run([args.converter, "--describe", "data.dat"],
                        cwd=os.path.join(work, "header3d")).stdout.decode()
        failures += [f"header3d --describe: {e}" for e in compare(
            "--describe", described.split("\n")[-2:-1], [HINT])]
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
