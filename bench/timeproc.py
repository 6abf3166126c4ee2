#!/usr/bin/env python3
"""Times whole command runs, interleaved: round after round, every command once in the given
order (A B C A B C ...), so that a change in the machine's load falls on all of them alike.

    timeproc.py [--warmup] <rounds> <commands file>

The commands file holds one "<name><TAB><shell command>" a line ("#" lines are skipped).
Each command runs through `sh -c` in the current directory with its output discarded; its
wall time is taken around the process (start to reaped), its processor time (user + system)
and peak resident memory from the kernel's account of it and of the children it waited for.
With --warmup every command runs once untimed first (page cache, disk space of the outputs).

Prints tab-separated lines: "run <name> <round> <wall s> <cpu s> <peak KiB> <load1>" for
every run, then "median <name> <wall s> <cpu s> <peak KiB>" per command, and
"load <when> <1 min> <5 min> <15 min>" at the start and the end.
A command that fails stops everything with its message (exit code 1).

    timeproc.py table <results> <rows file> [label]

Makes a Markdown table from those results. The rows file holds one
"<case><TAB><our name><TAB><peer label><TAB><peer name>" a line; a row whose our name is "-"
shows the peer alone (a floor or a reference), one whose peer name is "-" ours alone. Ratios are ours / peer: below 1, ours is
faster or smaller. The label (default "ours") heads the first side's columns.

    timeproc.py load <results>

One sentence on the load average at the start and the end and the 1-minute load during the
runs.

    timeproc.py readme <README> <marker> <text file>

Puts the text between the lines "<!-- <marker>:begin -->" and "<!-- <marker>:end -->" of
the README in place of what stood there.
"""
import os
import statistics
import subprocess
import sys
import time


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[:3]


def run(command):
    start = time.perf_counter()
    child = subprocess.Popen(["sh", "-c", command], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
    # Read the messages first so that a chatty command cannot block on a full pipe; then reap
    # it with wait4 for its resource account.
    err = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.stderr.write(f"timeproc: failed ({child.returncode}): {command}\n")
        sys.stderr.write(err.decode(errors="replace"))
        sys.exit(1)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def read_results(name):
    medians, loads, during = {}, {}, []
    with open(name) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if fields[0] == "median":
                medians[fields[1]] = (float(fields[2]), float(fields[3]), int(fields[4]))
            elif fields[0] == "load":
                loads[fields[1]] = " ".join(fields[2:])
            elif fields[0] == "run":
                during.append(float(fields[6]))
    return medians, loads, during


def table(results, rows, ours_label="ours"):
    medians, _, _ = read_results(results)
    o = ours_label
    print(f"| case | {o} wall s | {o} CPU s | {o} peak MiB | peer | peer wall s | peer CPU s "
          f"| peer peak MiB | wall {o}/peer | CPU {o}/peer |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    with open(rows) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            case, ours, label, peer = line.split("\t")
            if peer == "-":
                ow, oc, om = medians[ours]
                print(f"| {case} | {ow:.3f} | {oc:.3f} | {om / 1024:.0f} | | | | | | |")
                continue
            pw, pc, pm = medians[peer]
            if ours == "-":
                print(f"| {case} | | | | {label} | {pw:.3f} | {pc:.3f} | {pm / 1024:.0f} | | |")
                continue
            ow, oc, om = medians[ours]
            print(f"| {case} | {ow:.3f} | {oc:.3f} | {om / 1024:.0f} | {label} | {pw:.3f} | {pc:.3f} "
                  f"| {pm / 1024:.0f} | {ow / pw:.2f} | {oc / pc:.2f} |")
    return 0


def load_sentence(results):
    _, loads, during = read_results(results)
    print(f"Load average (1, 5, 15 min) {loads.get('start', '?')} at the start, "
          f"{loads.get('end', '?')} at the end; 1-minute load during the runs "
          f"{min(during):.2f} to {max(during):.2f}.")
    return 0


def replace_in_readme(readme, marker, text_file):
    text = open(readme).read()
    begin, end = f"<!-- {marker}:begin -->", f"<!-- {marker}:end -->"
    if begin not in text or end not in text:
        sys.stderr.write(f"timeproc: {readme} has no {marker} markers\n")
        return 1
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    with open(readme, "w") as f:
        f.write(head + begin + "\n" + open(text_file).read() + end + tail)
    return 0


def main(argv):
    if len(argv) == 4 and argv[0] == "readme":
        return replace_in_readme(*argv[1:])
    if len(argv) in (3, 4) and argv[0] == "table":
        return table(*argv[1:])
    if len(argv) == 2 and argv[0] == "load":
        return load_sentence(argv[1])
    warmup = "--warmup" in argv
    argv = [a for a in argv if a != "--warmup"]
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    rounds = int(argv[0])
    commands = []
    with open(argv[1]) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            name, command = line.split("\t", 1)
            commands.append((name, command))
    out = sys.stdout
    print("load\tstart\t" + "\t".join(load()), file=out, flush=True)
    if warmup:
        for _, command in commands:
            run(command)
    results = {name: [] for name, _ in commands}
    for r in range(rounds):
        for name, command in commands:
            wall, cpu, rss = run(command)
            results[name].append((wall, cpu, rss))
            print(f"run\t{name}\t{r}\t{wall:.4f}\t{cpu:.4f}\t{rss}\t{load()[0]}", file=out, flush=True)
    for name, _ in commands:
        runs = results[name]
        print("median\t{}\t{:.4f}\t{:.4f}\t{}".format(
            name, statistics.median(x[0] for x in runs), statistics.median(x[1] for x in runs),
            int(statistics.median(x[2] for x in runs))), file=out)
    print("load\tend\t" + "\t".join(load()), file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
