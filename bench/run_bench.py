"""Times the converter against the I/O floor on data files of several shapes,
in the cases a user meets, and prints a table per case. The floor reads and
writes at once, as a pipelining converter can (`x floor`); the floor of
earlier releases, which reads the whole file before it writes, is timed
beside it (`old s`, `x old`).

usage: run_bench.py --build DIR [--work DIR] [--runs N] [--shapes NAME,...]
                    [--cases CASE,...] [--sleep S] [--baseline CONVERTER]
                    [--scipy] [--scipy-timeout S] [--pipe]
                    [--formats]

The cases: `first` (no output of an earlier run exists: each program's old
output is removed before it runs) or `repeated` (each program replaces its
own output of the run before, as a user converting again does); `warm`
(runs follow one another) or `cold` (`sync`, then --sleep seconds before
each run, so that a virtual machine's host has taken back the memory the
last run freed). Nothing is touched in advance: every program meets the
machine as it is. Within a round the programs run in turn; each round gives
the converter's time over the floor's, and the table shows the medians.

--pipe feeds the converter its data file through a named pipe (the floor
still reads the file), to measure what a pipe costs.

A shape with converter arguments (a layout, a class, a format) is converted
from the command line, the others by the control lines; it shares its data
file with the plain shape of as many records and values, and the floor
writes as many bytes as its MAT-file holds. A compressed file's size is not
known before it is written: for those the floor writes what v6 writes. An
uncompressed v7.3 file's size is what an untimed run first writes.

A format shape is the format's name, a dot and a plain shape: v7l1.7071x7071
is 7071x7071 with --format v7 --level 1 (v7l6 level 6, v73 v7.3
uncompressed, v73l1 v7.3 at level 1). --formats times them all on three
shapes, the third of noise (noise7071x7071, from make_noise.py: values that
compress as little as measured data). `MiB` is the MAT-file's size and
`x v6` how many times smaller than v6 it is; with --scipy, the v7l6 shapes
run the scipy route with do_compression=True (zlib's default level, 6).
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"


class Shape:
    """A data file's records and values per record, and how to convert it:
    the converter's arguments (none: the control lines), and the rank and
    value size of the one variable they give."""

    def __init__(self, records, width, args=(), rank=2, value_bytes=8,
                 noise=False, floor="exact", scipy=None, fds=None):
        self.records = records
        self.width = width
        self.args = list(args)
        self.rank = rank
        self.value_bytes = value_bytes
        # Uniform noise from make_noise.py rather than make_data's values.
        self.noise = noise
        # What the floor writes: "exact" (mat_bytes, which the converter
        # must write too), "v6" (mat_bytes, where the converter's size is
        # not known before) or "output" (an untimed run's size).
        self.floor = floor
        # The scipy route: "plain", "compress" or None.
        self.scipy = scipy
        # An FDS slice file of `records` steps of a box of these sizes
        # (make_fds.py), rather than plain records.
        self.fds = fds

    def data_name(self):
        if self.fds:
            return f"fds_{self.records}x{'x'.join(map(str, self.fds))}.sf"
        prefix = "noise_" if self.noise else ""
        return f"{prefix}{self.records}x{self.width}.dat"

    def maker(self, make_data):
        """The command that makes the data file, but for its name and
        sizes."""
        if self.fds:
            return [SYSTEM_PYTHON, os.path.join(HERE, "make_fds.py")]
        if self.noise:
            return [SYSTEM_PYTHON, os.path.join(HERE, "make_noise.py")]
        return [make_data]

    def maker_sizes(self):
        if self.fds:
            return [str(self.records), *map(str, self.fds)]
        return [str(self.records), str(self.width)]

    def command(self, binary, output, source):
        """The converter's command line and its control lines, if any."""
        if self.args:
            return [binary, *self.args, "-o", output, source], None
        return [binary], f"{source}\n\n\n\n{output}\nm\n"

    def mat_bytes(self):
        """The size of the MAT-file: header, then one variable whose name
        fits in 4 bytes."""
        def padded(n):
            return (n + 7) // 8 * 8
        return (128 + 8 + 16 + 8 + padded(4 * self.rank) + 8 + 8 +
                padded(self.value_bytes * self.records * self.width))


SHAPES = {
    "10x5000000": Shape(10, 5_000_000, scipy="plain"),
    "5000000x10": Shape(5_000_000, 10, scipy="plain"),
    "50000000x1": Shape(50_000_000, 1, scipy="plain"),
    "7071x7071": Shape(7071, 7071, scipy="plain"),
    "1x10000000": Shape(1, 10_000_000, scipy="plain"),
    "20000x10000": Shape(20_000, 10_000, scipy="plain"),
    "50000000x10": Shape(50_000_000, 10, scipy="plain"),
    # Each record one 2000 x 2500 array: 2000 x 2500 x 10, no transpose.
    "dims10x2000x2500": Shape(10, 5_000_000,
                              ("--dims", "2000x2500", "-n", "m"), rank=3),
    # Each record one field of 10 values: u is 10 x 5,000,000.
    "record5000000x10": Shape(5_000_000, 10, ("--record", "u:real4(10)")),
    # The values as they are, 4 bytes each: half the output.
    "single7071x7071": Shape(7071, 7071, ("--class", "single", "-n", "m"),
                             value_bytes=4),
    "noise7071x7071": Shape(7071, 7071, noise=True, scipy="plain"),
    # A shipped layout: 500 steps of a time and 100 x 100 x 10 values (a
    # 200 MB slice file), the values a 4-D array.
    "fds500x100x100x10": Shape(500, 100_000, ("--layout", "fds-slice"),
                               floor="output", fds=(100, 100, 10)),
}
# Each format: its options, what its floor writes, its scipy route.
FORMATS = {
    "v7l1": (("--format", "v7", "--level", "1"), "v6", None),
    "v7l6": (("--format", "v7", "--level", "6"), "v6", "compress"),
    "v73": (("--format", "v7.3"), "output", None),
    "v73l1": (("--format", "v7.3", "--level", "1"), "v6", None),
}
for _base in ("7071x7071", "5000000x10", "noise7071x7071", "10x5000000"):
    _plain = SHAPES[_base]
    for _tag, (_options, _floor, _scipy) in FORMATS.items():
        SHAPES[f"{_tag}.{_base}"] = Shape(
            _plain.records, _plain.width, (*_options, "-n", "m"),
            noise=_plain.noise, floor=_floor, scipy=_scipy)
FORMAT_SHAPES = ",".join(
    name for base in ("7071x7071", "5000000x10", "noise7071x7071")
    for name in [base] + [f"{tag}.{base}" for tag in FORMATS])
FIVE = "10x5000000,5000000x10,50000000x1,7071x7071,1x10000000"
CASES = ("first-warm", "first-cold", "repeated-warm", "repeated-cold")
# Peak memory allowed a conversion, whatever the data file's size.
RSS_BOUND = 96 << 20
MIB = 1 << 20


class Program:
    """A command that converts, or stands for converting, one data file."""

    def __init__(self, label, command, work, output, control=None,
                 pipe_from=None, timeout=None):
        self.label = label
        self.command = command
        self.work = work
        self.output = os.path.join(work, output)
        self.control = control
        self.pipe_from = pipe_from
        self.timeout = timeout
        self.times = []
        self.rss = []
        self.gave_up = False

    def run(self, case, sleep):
        """Runs once as `case` says; returns the wall seconds or None."""
        if case.startswith("first") and os.path.exists(self.output):
            os.remove(self.output)
        subprocess.run(["sync"], check=True)
        if case.endswith("cold"):
            time.sleep(sleep)
        feeder = None
        if self.pipe_from:
            fifo = os.path.join(self.work, "bench_pipe.dat")
            if os.path.exists(fifo):
                os.remove(fifo)
            os.mkfifo(fifo)
        start = time.perf_counter()
        proc = subprocess.Popen(self.command, cwd=self.work,
                                stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        if self.pipe_from:
            feeder = subprocess.Popen(
                ["sh", "-c", f"cat '{self.pipe_from}' > '{fifo}'"])
        if self.control is not None:
            proc.stdin.write(self.control.encode())
        proc.stdin.close()
        deadline = None if self.timeout is None else start + self.timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid != 0:
                break
            if deadline is not None and time.perf_counter() > deadline:
                proc.kill()
                os.wait4(proc.pid, 0)
                self.gave_up = True
                return None
            time.sleep(0.002)
        wall = time.perf_counter() - start
        if feeder:
            feeder.wait()
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"{self.command[0]} failed with status {status}")
        self.times.append(wall)
        self.rss.append(usage.ru_maxrss * 1024)
        return wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", default="/tmp/unf2mat-bench")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--shapes", default=FIVE)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--sleep", type=float, default=3)
    parser.add_argument("--baseline", help="another converter to time")
    parser.add_argument("--scipy", action="store_true",
                        help="time the scipy route too")
    parser.add_argument("--scipy-timeout", type=float, default=150)
    parser.add_argument("--pipe", action="store_true",
                        help="feed the converter through a named pipe")
    parser.add_argument("--formats", action="store_true",
                        help="the shapes of the formats (--shapes then "
                        "adds to them)")
    args = parser.parse_args()
    if args.formats:
        shapes = FORMAT_SHAPES
        if "--shapes" in sys.argv[1:]:
            shapes += "," + args.shapes
    else:
        shapes = args.shapes
    names = shapes.split(",")
    for name in names:
        if name not in SHAPES:
            sys.exit(f"unknown shape {name}")
    build = os.path.abspath(args.build)
    converter = os.path.join(build, "unf2mat")
    floor = os.path.join(build, "bench", "unf2mat_io_floor")
    make_data = os.path.join(build, "bench", "unf2mat_make_data")
    os.makedirs(args.work, exist_ok=True)
    cases = args.cases.split(",")
    for case in cases:
        if case not in CASES:
            sys.exit(f"unknown case {case}; the cases are {', '.join(CASES)}")

    for case in cases:
        print(f"\n{case}: medians of {args.runs} rounds"
              f"{', data from a named pipe' if args.pipe else ''}")
        print(f"{'shape':>20} {'values':>11} {'unf2mat s':>9} "
              f"{'floor s':>8} {'x floor':>7} {'old s':>6} {'x old':>5} "
              f"{'ns/value':>8} "
              f"{'RSS MiB':>8} {'bound':>6} {'MiB':>7} {'x v6':>5}" +
              (f" {'base s':>7} {'x base':>6}" if args.baseline else "") +
              (f" {'scipy s':>8} {'MiB':>7}" if args.scipy else ""))
        for name in names:
            shape = SHAPES[name]
            records, width = shape.records, shape.width
            data_name = shape.data_name()
            data = os.path.join(args.work, data_name)
            if not os.path.exists(data):
                subprocess.run([*shape.maker(make_data), data,
                                *shape.maker_sizes()], check=True)
            source = "bench_pipe.dat" if args.pipe else data_name
            pipe_from = data if args.pipe else None
            output = f"converted_{name}.mat"
            command, control = shape.command(converter, output, source)
            ours = Program("unf2mat", command, args.work, output, control,
                           pipe_from=pipe_from)
            programs = [ours]
            if args.baseline:
                output = f"base_{name}.mat"
                command, control = shape.command(
                    os.path.abspath(args.baseline), output, source)
                programs.append(Program("base", command, args.work, output,
                                        control, pipe_from=pipe_from))
            # The floor writes as many bytes as the converter's MAT-file.
            mat_bytes = shape.mat_bytes()
            v6_bytes = mat_bytes
            if shape.floor == "output":
                ours.run("first-warm", 0)
                mat_bytes = os.path.getsize(ours.output)
                ours.times.clear()
                ours.rss.clear()
            the_floor = Program("floor", [floor, data, f"floor_{name}.out",
                                          str(mat_bytes)],
                                args.work, f"floor_{name}.out")
            # The floor of earlier releases, which reads, then writes.
            old_floor = Program("old floor",
                                [floor, "--sequential", data,
                                 f"old_floor_{name}.out", str(mat_bytes)],
                                args.work, f"old_floor_{name}.out")
            programs += [the_floor, old_floor]
            # The scipy route makes the plain matrix only.
            with_scipy = args.scipy and shape.scipy is not None
            if with_scipy:
                compress = ["--compress"] if shape.scipy == "compress" else []
                programs.append(Program(
                    "scipy", [SYSTEM_PYTHON,
                              os.path.join(HERE, "scipy_route.py"),
                              *compress, data, f"scipy_{name}.mat", "m"],
                    args.work, f"scipy_{name}.mat",
                    timeout=args.scipy_timeout))
            if case.startswith("repeated"):
                # Each program's output of a run before.
                for program in programs:
                    program.run("first-warm", 0)
                    program.times.clear()
                    program.rss.clear()
            ratios, old_ratios, base_ratios = [], [], []
            for _ in range(args.runs):
                walls = {}
                for program in programs:
                    if not program.gave_up:
                        walls[program.label] = program.run(case, args.sleep)
                ratios.append(walls["unf2mat"] / walls["floor"])
                old_ratios.append(walls["unf2mat"] / walls["old floor"])
                if args.baseline:
                    base_ratios.append(walls["unf2mat"] / walls["base"])
            values = records * width
            ours_s = statistics.median(ours.times)
            floor_s = statistics.median(the_floor.times)
            out_bytes = os.path.getsize(ours.output)
            line = (f"{name:>20} {values:>11,} {ours_s:>9.3f} {floor_s:>8.3f} "
                    f"{statistics.median(ratios):>7.2f} "
                    f"{statistics.median(old_floor.times):>6.3f} "
                    f"{statistics.median(old_ratios):>5.2f} "
                    f"{1e9 * ours_s / values:>8.2f} "
                    f"{max(ours.rss) / MIB:>8.0f} {RSS_BOUND / MIB:>6.0f} "
                    f"{out_bytes / MIB:>7.1f} {v6_bytes / out_bytes:>5.2f}")
            if args.baseline:
                line += (f" {statistics.median(programs[1].times):>7.3f} "
                         f"{statistics.median(base_ratios):>6.2f}")
            if with_scipy:
                scipy = programs[-1]
                line += (f" {'>' + str(int(args.scipy_timeout)):>8} {'-':>7}"
                         if scipy.gave_up else
                         f" {statistics.median(scipy.times):>8.2f}"
                         f" {os.path.getsize(scipy.output) / MIB:>7.1f}")
            elif args.scipy:
                line += f" {'-':>8} {'-':>7}"
            print(line, flush=True)
            if shape.floor != "v6" and out_bytes != mat_bytes:
                print(f"  the floor wrote {mat_bytes} bytes, the converter "
                      f"{out_bytes}", flush=True)
            for program in programs:
                if os.path.exists(program.output):
                    os.remove(program.output)


if __name__ == "__main__":
    main()
