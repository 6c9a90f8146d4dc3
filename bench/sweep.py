#!/usr/bin/env python3
"""Times pieshift against GNU objcopy and llvm-objcopy over a sweep of input sizes, from a few KB to the
486 MB input: each input is generated once into --dir, then the tools run --runs times round robin
after one untimed warm-up round. Prints, per size, each tool's median wall time, pieshift's min and
max, its median as a fraction of each objcopy's, and peak memory: RSS (VmHWM) and anonymous memory
(RssAnon), sampled from /proc ('-' for anonymous memory when a run ends before the first sample).

  sweep.py --pieshift BIN --gen GEN_BIGPIE [--baseline BIN] [--runs N] [--dir DIR] [--sizes 4k,1m,...]
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess

from compare import mb, run_once

# Proportions of the 486 MB input (16 MiB .text, 256 MiB .data, 8 Mi RELA entries of 24 bytes),
# scaled to each size; the smallest needs a small segment alignment to stay near 4 KB.
SIZES = {
    "4k": ["--page", "64", "--text-bytes", "512", "--data-bytes", "1024", "--relative", "32",
           "--symbolic", "8", "--plt", "2"],
    "1m": ["--text-bytes", "34500", "--data-bytes", "552000", "--relative", "17250"],
    "16m": ["--text-bytes", "552000", "--data-bytes", "8830000", "--relative", "276000"],
    "128m": ["--text-bytes", "4420000", "--data-bytes", "70600000", "--relative", "2208000"],
    "486m": [],
}


def generate(gen, name, directory):
    elf = os.path.join(directory, f"sweep-{name}.elf")
    if not os.path.exists(elf) or not os.path.exists(elf + ".defines"):
        with open(elf + ".defines", "w") as defines:
            subprocess.run([gen, *SIZES[name], elf], stdout=defines, check=True)
    with open(elf + ".defines") as defines:
        return elf, defines.read().split()


def seconds(walls):
    return f"{statistics.median(walls):.3f}"


def anon(rs):
    peak = max(r[2] for r in rs)
    return mb(peak) if peak else "-"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pieshift", required=True)
    ap.add_argument("--gen", required=True, help="gen_bigpie")
    ap.add_argument("--baseline", help="an older pieshift, output checked identical")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--dir", default="/tmp")
    ap.add_argument("--sizes", default=",".join(SIZES))
    ap.add_argument("--address", default="0x80000000")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)

    print(f"{args.runs} runs each, alternated; wall times in seconds")
    print("| input | image | pieshift median (min-max) | GNU objcopy | llvm-objcopy | vs GNU | vs llvm "
          "| pieshift peak RSS / anon | GNU objcopy peak RSS / anon |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name in args.sizes.split(","):
        elf, defines = generate(args.gen, name, args.dir)
        out = lambda tag: os.path.join(args.dir, f"sweep.{tag}.out")
        tools = [("pieshift", [args.pieshift, *defines, "-o", out("pieshift"), args.address, elf])]
        if args.baseline:
            tools.append(("baseline", [args.baseline, *defines, "-o", out("baseline"), args.address, elf]))
        for tag, argv in (("objcopy", ["objcopy", "-O", "binary"]), ("llvm-objcopy", ["llvm-objcopy", "-O", "binary"])):
            if shutil.which(argv[0]):
                tools.append((tag, [*argv, elf, out(tag)]))
        results = {tag: [] for tag, _ in tools}
        for round_ in range(args.runs + 1):
            for tag, argv in tools:
                r = run_once(argv, out(tag))
                if round_ > 0:
                    results[tag].append(r)
        if args.baseline and not filecmp.cmp(out("pieshift"), out("baseline"), shallow=False):
            raise SystemExit(f"{name}: pieshift and baseline images DIFFER")
        mine = [r[0] for r in results["pieshift"]]
        med = statistics.median(mine)
        cell = lambda tag: seconds([r[0] for r in results[tag]]) if results.get(tag) else "-"
        ratio = lambda tag: f"{med / statistics.median(r[0] for r in results[tag]):.2f}x" if results.get(tag) else "-"
        memory = lambda tag: f"{mb(max(r[1] for r in results[tag]))} / {anon(results[tag])}" if results.get(tag) else "-"
        print(f"| {name} ({mb(os.path.getsize(elf))}) | {mb(os.path.getsize(out('pieshift')))} "
              f"| {med:.3f} ({min(mine):.3f}-{max(mine):.3f}) | {cell('objcopy')} | {cell('llvm-objcopy')} "
              f"| {ratio('objcopy')} | {ratio('llvm-objcopy')} | {memory('pieshift')} | {memory('objcopy')} |",
              flush=True)
        for tag, _ in tools:
            if os.path.exists(out(tag)):
                os.unlink(out(tag))


if __name__ == "__main__":
    main()
