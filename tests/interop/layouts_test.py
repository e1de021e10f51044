#!/usr/bin/python3
"""Converts data files that gfortran writes with header records, arrays and
several fields per record (--skip, --record, --header, --dims, --class,
--join), in each MAT-file format, and checks that GNU Octave, matio and scipy
(h5py for v7.3, which scipy does not read) each read back every variable's
class, dimensions and bits as the Fortran program recorded them.

usage: layouts_test.py --converter PATH --matio-dump PATH
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import zlib

from interop_test import compare, run

HERE = os.path.dirname(os.path.abspath(__file__))

# Each conversion is run once per entry of its formats: the default (v6),
# each variable compressed (v7), HDF5 (v7.3); and deflated at other levels.
FORMATS = ("", "--format v7", "--format v7.3")
LEVELS = ("--format v7 --level 6", "--format v7 --level 9",
          "--format v7.3 --level 6")

# Case of write_layouts.f90, options and data files (the MAT-file is -o
# given), the variables (NAME, or NAME=ENTRY of expected.txt), what each
# warning names, if any ("|" between them), and the formats.
CONVERSIONS = [
    ("header3d", "--header nx:int4,ny:int4,nz:int4 --record a:real4(5,3,2) "
     "data.dat", "nx ny nz a", "", FORMATS),
    ("header3d", "--header nx:int4,ny:int4,nz:int4 --record a:real4(5,3,2) "
     "--class native data.dat", "nx ny nz a", "", FORMATS),
    ("header3d", "--skip 1 --dims 5x3x2 data.dat", "data=a", "", FORMATS),
    ("header3d", "--skip 1 --dims 5x3x2 --class single data.dat", "data=a",
     "", FORMATS),
    ("header3d", "--skip 1 data.dat", "data=rows", "", FORMATS),
    ("mixed", "--record t:real8,u:real4(4,3),k:int4(6) --class native "
     "data.dat", "t u k", "", FORMATS),
    ("mixed", "--record t:real8,u:real4(4,3),k:int4(6) --class native "
     "data.dat", "t u k", "", LEVELS),
    ("mixed", "--record t:real8,u:real4(4,3),k:int4(6) data.dat", "t u k",
     "", FORMATS),
    ("mixed", "--record _:real8,_:real4(4,3),k:int4(6) data.dat", "k", "",
     FORMATS),
    ("mixed", "--record _:real8,u:real4(4,3) data.dat", "u",
     "24 bytes more", FORMATS),
    ("series", "--join --header time:real8 --record u:real4(5,2) "
     "step1.dat step2.dat step3.dat", "time u", "", FORMATS),
    ("series", "--header time:real8 --record u:real4(5,2) step1.dat "
     "step2.dat step3.dat", "step1_time step1_u step2_time step2_u "
     "step3_time step3_u", "", FORMATS),
    ("single", "--class single data.dat", "data", "", FORMATS),
    ("int8", "--record big:int8(3) --class native data.dat", "big", "",
     FORMATS),
    ("int8", "--type int8 --class native data.dat", "data=rows", "",
     FORMATS),
    ("star", "--record u:real4(4,*) data.dat", "u",
     "record 5|record 3 of data file 'data.dat' holds 8 bytes more", FORMATS),
    ("star", "--record u:real4(4,*) one.dat", "u=one43", "", FORMATS),
    ("star", "--record u:real4(2,3,2) one.dat", "u=one232", "", FORMATS),
    ("star", "--record u:real4(4,4) --class native data.dat", "u=u44",
     "record 1", FORMATS),
    ("several", "a.dat b.dat", "a b", "", FORMATS),
    ("several", "--join a.dat c.dat", "a=ac", "", FORMATS),
    ("several", "none.dat", "none", "", FORMATS),
    ("several", "--class native none.dat", "none", "", FORMATS),
]

# Runs that fail (exit 1), with what the one line on stderr names: record 3
# holds the first value a double does not hold exactly (-2**63 in record 2
# is held).
FAILURES = [
    ("int8", "--record big:int8(3) data.dat",
     ["record 3", "big", "--class native"]),
    ("int8", "--record big:int8(3) --format v7 data.dat",
     ["record 3", "big", "--class native"]),
    ("int8", "--record big:int8(3) --format v7.3 --level 6 data.dat",
     ["record 3", "big", "--class native"]),
    ("int8", "--type int8 data.dat", ["record 3", "--class native"]),
    ("several", "--join -o joined.mat a.dat c.dat b.dat", ["b.dat"]),
    ("several", "--join --format v7 -o joined.mat a.dat c.dat b.dat",
     ["b.dat"]),
    ("several", "--join --format v7.3 -o joined.mat a.dat c.dat b.dat",
     ["b.dat"]),
]

# Usage errors (exit 2) on records of 12 values; a layout alone is --record's.
USAGE_ERRORS = [
    "u:real4(4", "u:real4(4,3),u:int4", "u:real4(0,3)", "u:real4(2147483648)",
    "u:real4(*,3)", "u:real4(4,*),v:real4", "u:real16(4,3)", "u:real4(4;3)",
    "--header u:int4 --record u:real4(4,3)", "t:real8 --class single",
    "_:real8,u:int4(1) --class single", "--type int4 --class single",
    "--type real4 --record u:real4(4,3)", "--format v8", "--format V7",
    "--level 0", "--level 10", "--level 6", "--format v6 --level 6",
]

# What --describe proposes for the file of a header and arrays.
SUGGESTION = ("  suggest: unf2mat --layout 'record nx, ny, nz: int4; repeat "
              "{ record a: real4(nx, ny, nz) }' data.dat")

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


def widened(value_type, bits):
    """Exact, and keeps a quiet NaN's payload."""
    return [struct.pack(">d", struct.unpack(
        BIG_ENDIAN[value_type], bytes.fromhex(b))[0]).hex() for b in bits]


def option(options, name, default=None):
    words = options.split()
    return words[words.index(name) + 1] if name in words else default


def variables(wanted, entries, options):
    """(name, class, dims, [hex]) of each variable, in the order given."""
    chosen = option(options, "--class", "double")
    out = []
    for item in wanted.split():
        name, _, entry = item.partition("=")
        value_type, dims, bits = entries[entry or name]
        klass = NATIVE[value_type] if chosen == "native" else chosen
        if klass != NATIVE[value_type]:
            bits = widened(value_type, bits)
        out.append((name, klass, dims, bits))
    return out


def octave_hdf5(want):
    """What Octave 7.3 makes of the v7.3 variables of a MAT-file: it takes
    each dataset by its HDF5 type, not by MATLAB_class, so that a single
    comes back as a double of equal values (widened as above), and an empty
    array as the uint64 vector of its dimensions that stands for it."""
    out = []
    for name, klass, dims, bits in want:
        if "0" in dims:
            out.append((name, "uint64", ["1", str(len(dims))],
                        ["%016x" % int(d) for d in dims]))
        elif klass == "single":
            out.append((name, "double", dims, widened("real4", bits)))
        else:
            out.append((name, klass, dims, bits))
    return out


def dump_of(want):
    return by_name([line for name, klass, dims, bits in want
                    for line in [f"{name} {klass} {' '.join(dims)}", *bits]])


def by_name(lines):
    """A dump's variables sorted by name, each its header line and bits."""
    blocks = []
    for line in lines:
        if " " in line or not blocks:
            blocks.append([])
        blocks[-1].append(line)
    return [line for block in sorted(blocks) for line in block]


# A line "@" before each MAT-file's variables: Octave starts once for many.
OCTAVE_SCRIPT = r"""
for path = {{{paths}}}
  printf("@\n");
  for [v, name] = load(path{{1}})
    printf("%s %s%s\n", name, class(v), sprintf(" %d", size(v)));
    if !isreal(v), printf("complex\n"); end
    words = typecast(v(:), "uint32");
    if isempty(words)
    elseif any(strcmp(class(v), {{"double", "int64", "uint64"}}))
      printf("%08x%08x\n", [words(2:2:end)'; words(1:2:end)']);
    else
      printf("%08x\n", words);
    end
  end
end
"""


def octave_dumps(paths):
    """{path: dump} of the MAT-files given, up to one Octave fails on."""
    out = subprocess.run(
        ["octave-cli", "--norc", "--no-history", "--quiet", "--eval",
         OCTAVE_SCRIPT.format(paths=", ".join(f'"{p}"' for p in paths))],
        capture_output=True).stdout.decode().split("@\n")
    return {path: by_name(text.split("\n")[:-1])
            for path, text in zip(paths, out[1:])}


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


def h5py_dump(path):
    """As scipy_dump, from the datasets of a v7.3 MAT-file: MATLAB's
    dimensions are the dataset's reversed, and its column-major order the
    dataset's row-major one."""
    import h5py

    classes = {"float64": "double", "float32": "single", "int32": "int32",
               "int64": "int64"}
    out = []
    with h5py.File(path, "r") as f:
        for name, v in f.items():
            attrs = v.attrs
            klass = attrs.get("MATLAB_class", b"none")
            klass = klass.decode() if isinstance(klass, bytes) else klass
            if "MATLAB_empty" in attrs:
                empty = attrs["MATLAB_empty"]
                if v.dtype.name != "uint64" or empty.dtype.name != "uint8" \
                        or empty != 1:
                    out.append(f"{name}: empty as {v.dtype} {empty!r}")
                out.append(f"{name} {klass} " + " ".join(map(str, v[()])))
                continue
            if classes.get(v.dtype.name) != klass:
                out.append(f"{name}: {v.dtype} of class {klass}")
            out.append(f"{name} {klass} " + " ".join(map(str, v.shape[::-1])))
            size, data = v.dtype.itemsize, v[()].tobytes()
            order = "big" if v.dtype.byteorder == ">" else "little"
            out += ["%0*x" % (2 * size,
                              int.from_bytes(data[k:k + size], order))
                    for k in range(0, len(data), size)]
    return by_name(out)


def matio_dump(tool, path):
    done = subprocess.run([tool, "--all", path], capture_output=True)
    return by_name(done.stdout.decode().split("\n")[:-1]) + (
        [done.stderr.decode()] if done.returncode else [])


def safely(dump, *args):
    """A reader's dump, or the error it stops with."""
    try:
        return dump(*args)
    except Exception as e:
        return [f"{type(e).__name__}: {e}"]


# zlib's header tells the level a stream was compressed at, in 4 bands.
ZLIB_LEVEL_BAND = {1: 0, 2: 1, 3: 1, 4: 1, 5: 1, 6: 2, 7: 3, 8: 3, 9: 3}
HEADER_73 = (b"MATLAB 7.3 MAT-file, Platform: LNX86, Created on: Wed Oct 13 "
             b"22:44:21 1999 HDF5 schema 1.00 .").ljust(116) + b" " * 8 + \
    b"\x00\x02IM"
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


def level5_errors(path, level):
    """v6: each variable a matrix element padded to 8 bytes; v7 (a level):
    each a compressed element, one zlib stream at that level holding the
    matrix element, unpadded."""
    data = open(path, "rb").read()
    errors = []
    if not data.startswith(b"MATLAB 5.0 MAT-file") or \
            data[124:128] != b"\x00\x01IM":
        errors.append(f"header {data[:128]!r}")
    at = 128
    while at + 8 <= len(data) and not errors:
        kind, size = struct.unpack_from("<II", data, at)
        element = data[at + 8:at + 8 + size]
        at += 8 + size
        if level is None:
            if kind != 14 or size % 8 != 0:
                errors.append(f"element of type {kind}, {size} bytes")
            continue
        if kind != 15 or len(element) < 2 or \
                element[1] >> 6 != ZLIB_LEVEL_BAND[level]:
            errors.append(f"element of type {kind}, {element[:2].hex()}")
            continue
        stream = zlib.decompressobj()
        try:
            matrix = stream.decompress(element)
        except zlib.error as e:
            errors.append(f"zlib: {e}")
            continue
        if not stream.eof or stream.unused_data or len(matrix) < 8 or \
                struct.unpack_from("<II", matrix) != (14, len(matrix) - 8):
            errors.append(f"compressed element of {size} bytes holds "
                          f"{matrix[:8].hex()}..., {len(matrix)} bytes")
    if at != len(data):
        errors.append(f"elements end at byte {at} of {len(data)}")
    return errors


def hdf5_errors(path, level):
    """The MAT header in the user block, HDF5 at 512, and every dataset
    that holds values deflated at the level given, if any."""
    import h5py

    data = open(path, "rb").read(520)
    errors = [] if data[:128] == HEADER_73 else [f"header {data[:128]!r}"]
    if data[512:520] != HDF5_SIGNATURE:
        return errors + [f"bytes 512 to 519 are {data[512:520]!r}"]
    with h5py.File(path, "r") as f:
        for name, v in f.items():
            if "MATLAB_empty" not in v.attrs and (
                    v.compression, v.compression_opts) != (
                        ("gzip", level) if level else (None, None)):
                errors.append(f"{name}: {v.compression} "
                              f"{v.compression_opts}")
    return errors


def read_back(args, path, formats, want, octave):
    """Errors of the readers of the MAT-file of a format, and of its
    structure."""
    level = option(formats, "--level")
    level = int(level) if level else None
    if option(formats, "--format") == "v7.3":
        errors = safely(hdf5_errors, path, level)
        errors += compare("octave", octave, dump_of(octave_hdf5(want)))
        errors += compare("h5py", safely(h5py_dump, path), dump_of(want))
    else:
        if option(formats, "--format") == "v7":
            level = level or 1
        errors = level5_errors(path, level)
        errors += compare("octave", octave, dump_of(want))
        errors += compare("scipy", safely(scipy_dump, path),
                          dump_of(want))
    return errors + compare("matio", matio_dump(args.matio_dump, path),
                            dump_of(want))


def converted(args, where, mat, options, warning):
    done = subprocess.run([args.converter, "-o", mat, *options.split()],
                          cwd=where, capture_output=True)
    errors = [] if done.returncode == 0 else [f"exit {done.returncode}"]
    # One warning line for each text that `warning` names, "|" between.
    lines = done.stderr.decode().splitlines()
    wanted = warning.split("|") if warning else []
    if len(lines) != len(wanted) or not all(
            text in line and line.startswith("unf2mat: warning: ")
            for text, line in zip(wanted, lines)):
        errors.append(f"stderr {lines!r}")
    return errors


def describe_errors(args, where, options, want):
    """One data file read by a layout: --describe names its variables."""
    if "--record" not in options or options.count(".dat") != 1:
        return []
    out = run([args.converter, "--describe", *options.split()],
              cwd=where).stdout.decode().split("\n")
    lines = [f"  variable: {name}, {' x '.join(dims)}, {klass}"
             for name, klass, dims, _ in want]
    return compare("--describe", [line for line in out if
                                  line.startswith("  variable:")], lines)


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
        for case in sorted(entries):
            where, written = os.path.join(work, case), []
            for row, (of, options, wanted, warning, formats) in enumerate(
                    CONVERSIONS):
                if of != case:
                    continue
                want = variables(wanted, entries[case], options)
                errors = describe_errors(args, where, options, want)
                failures += [f"{case} {options}: {e}" for e in errors]
                for k, form in enumerate(formats):
                    mat = os.path.join(where, f"out{row}-{k}.mat")
                    label = f"{case} {form} {options}".replace("  ", " ")
                    errors = converted(args, where, mat,
                                       f"{form} {options}", warning)
                    if errors:
                        failures += [f"{label}: {e}" for e in errors]
                        print(f"{label}: FAILED")
                    else:
                        written.append((label, mat, form, want))
            octave = octave_dumps([mat for _, mat, _, _ in written])
            for label, mat, form, want in written:
                errors = read_back(args, mat, form, want,
                                   octave.get(mat, ["no Octave output"]))
                failures += [f"{label}: {e}" for e in errors]
                print(f"{label}: {'FAILED' if errors else 'ok'}")
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
            "--describe", described.split("\n")[-2:-1], [SUGGESTION])]
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
