#!/usr/bin/env python3
"""Times pieshift side by side with tools that export the same kind of image, on the same input in
one session: each tool runs --runs times, round robin after one untimed warm-up round, so that all
see the same page cache. Prints min and median wall time, peak RSS (VmHWM) and peak anonymous
memory (RssAnon), both sampled from /proc every 2 ms, and each tool's median as a multiple of pieshift's.

  compare.py --pieshift BIN [--baseline BIN] --input ELF --defines "-d A=1 ..." [--runs N] [--dir DIR]
             [--gnu-input-target BFDNAME]   (for machines GNU objcopy was not built for, e.g. elf32-big)
"""
import argparse
import filecmp
import os
import shlex
import shutil
import statistics
import subprocess
import threading
import time


def sample_anon(pid, name, peak, stop):
    path = f"/proc/{pid}/status"
    while not stop.is_set():
        try:
            with open(path) as f:
                for line in f:
                    # Until the exec, the child is a copy of this Python process: not the tool's memory.
                    if line.startswith("Name:") and line.split()[1] != name:
                        break
                    if line.startswith("VmHWM:"):
                        peak[1] = max(peak[1], int(line.split()[1]) * 1024)
                    if line.startswith("RssAnon:"):
                        peak[0] = max(peak[0], int(line.split()[1]) * 1024)
                        break
        except OSError:
            return
        time.sleep(0.002)


def run_once(argv, output):
    if os.path.exists(output):
        os.unlink(output)
    peak, stop = [0, 0], threading.Event()
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    comm = os.path.basename(argv[0])[:15]
    sampler = threading.Thread(target=sample_anon, args=(proc.pid, comm, peak, stop))
    sampler.start()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    stop.set()
    sampler.join()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{shlex.join(argv)} failed with status {proc.returncode}")
    # wait4's figure counts the Python process the child was before its exec; use it only when the run
    # ended before the first sample.
    return wall, peak[1] or usage.ru_maxrss * 1024, peak[0], usage.ru_utime, usage.ru_stime


def mb(n):
    return f"{n / 1e6:.0f} MB" if n >= 1e6 else f"{n / 1e3:.0f} KB"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pieshift", required=True)
    ap.add_argument("--baseline", help="an older pieshift to compare with, output checked identical")
    ap.add_argument("--input", required=True)
    ap.add_argument("--defines", default="")
    ap.add_argument("--address", default="0x80000000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dir", default="/tmp")
    ap.add_argument("--gnu-input-target")
    args = ap.parse_args()

    out = lambda name: os.path.join(args.dir, f"compare.{name}.out")
    defines = shlex.split(args.defines)
    pieshift = lambda binary, o: [binary, *defines, "-o", o, args.address, args.input]
    # (name, argv, output file)
    tools = [("pieshift", pieshift(args.pieshift, out("pieshift")), out("pieshift"))]
    if args.baseline:
        tools.append(("pieshift (baseline)", pieshift(args.baseline, out("baseline")), out("baseline")))
    gnu_input = ["-I", args.gnu_input_target] if args.gnu_input_target else []
    for name, argv, tag in (("GNU objcopy -O binary", ["objcopy", *gnu_input, "-O", "binary"], "objcopy"),
                            ("llvm-objcopy -O binary", ["llvm-objcopy", "-O", "binary"], "llvm-objcopy"),
                            ("cp", ["cp"], "cp")):
        if shutil.which(argv[0]):
            tools.append((name, [*argv, args.input, out(tag)], out(tag)))

    results = {name: [] for name, _, _ in tools}
    for round_ in range(args.runs + 1):
        for name, argv, output in tools:
            r = run_once(argv, output)
            if round_ > 0:
                results[name].append(r)

    size = os.path.getsize(args.input)
    print(f"input: {args.input} ({mb(size)}), image {mb(os.path.getsize(out('pieshift')))}, "
          f"{args.runs} runs each")
    if args.baseline:
        same = filecmp.cmp(out("pieshift"), out("baseline"), shallow=False)
        print(f"pieshift and baseline images {'identical' if same else 'DIFFER'}")
    base = statistics.median(r[0] for r in results["pieshift"])
    print("| run | min wall | median wall | user | sys | peak RSS | peak anon | median vs pieshift |")
    print("|---|---|---|---|---|---|---|---|")
    for name, _, _ in tools:
        rs = results[name]
        walls = [r[0] for r in rs]
        med = statistics.median(walls)
        print(f"| `{name}` | {min(walls):.3f} s | {med:.3f} s | {statistics.median(r[3] for r in rs):.2f} s "
              f"| {statistics.median(r[4] for r in rs):.2f} s | {mb(max(r[1] for r in rs))} "
              f"| {mb(max(r[2] for r in rs))} | {med / base:.2f}x |")
    for _, _, output in tools:
        if os.path.exists(output):
            os.unlink(output)


if __name__ == "__main__":
    main()
