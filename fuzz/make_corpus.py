#!/usr/bin/env python3
"""Regenerates the seed corpus: small real static PIEs of several machines (clang --target, lld),
variants of them with one header or dynamic entry made malformed, and a few symbol files.
Run from anywhere; writes fuzz/corpus/{run,elf,symfile}. Needs clang and lld."""
import os
import shutil
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

# Pointers in data, a function pointer table and one symbol the link leaves undefined.
SOURCE = r"""
extern volatile unsigned int uart_base[];
static char banner[] = "relocated\n";
const char *banner_ptr = banner;
static void put(char c) { uart_base[0] = (unsigned char)c; }
static void hello(void) { for (const char *s = banner_ptr; *s; s++) put(*s); }
void (*const steps[])(void) = {hello};
void _start(void) { steps[0](); }
"""

TARGETS = ["x86_64-linux-gnu", "i386-linux-gnu", "armv7a-linux-gnueabi", "riscv64-linux-gnu",
           "riscv32-linux-gnu", "powerpc64le-linux-gnu", "powerpc64-linux-gnu", "powerpc-linux-gnu",
           "aarch64-linux-gnu"]

# Option bits of the run target (fuzz/run_fuzz.cpp): -vv, -f symbols, --output-entry.
RUN_OK = (2 | 1 << 10 | 1 << 12).to_bytes(4, "little")
# --ignore-undefined, -v, --output-entry naming the image.
RUN_SAME = (1 | 1 << 2 | 1 << 12 | 1 << 13).to_bytes(4, "little")


def build(target, workdir):
    src = os.path.join(workdir, "seed.c")
    with open(src, "w") as f:
        f.write(SOURCE)
    out = os.path.join(workdir, target + ".elf")
    subprocess.run(["clang", "--target=" + target, "-ffreestanding", "-fno-builtin", "-nostdlib", "-fPIE",
                    "-Os", "-fuse-ld=lld", "-static-pie", "-Wl,--no-dynamic-linker", "-Wl,-z,undefs",
                    "-Wl,-z,norelro", "-Wl,-s", "-Wl,--image-base=0x100000", "-o", out, src], check=True)
    with open(out, "rb") as f:
        return bytearray(f.read())


class Elf:
    """Just enough of a reader to find the fields the variants change."""

    def __init__(self, data):
        self.data = data
        self.is64 = data[4] == 2
        self.end = "<" if data[5] == 1 else ">"
        word = "Q" if self.is64 else "I"
        if self.is64:
            fields = struct.unpack_from(self.end + "HHIQQQIHHHHHH", data, 16)
        else:
            fields = struct.unpack_from(self.end + "HHIIIIIHHHHHH", data, 16)
        (_, _, _, _, self.phoff, self.shoff, _, _, self.phentsize, self.phnum, self.shentsize, self.shnum,
         _) = fields
        self.word = word

    def phdr_align_offset(self, index):
        base = self.phoff + index * self.phentsize
        return base + (48 if self.is64 else 28)

    def load_segments(self):
        return [i for i in range(self.phnum)
                if struct.unpack_from(self.end + "I", self.data, self.phoff + i * self.phentsize)[0] == 1]

    def dynamic(self):
        """(offset, entry size, [(tag, value)]) of the SHT_DYNAMIC section."""
        for i in range(self.shnum):
            base = self.shoff + i * self.shentsize
            if struct.unpack_from(self.end + "I", self.data, base + 4)[0] != 6:
                continue
            fmt = self.end + ("IIQQQQIIQQ" if self.is64 else "IIIIIIIIII")
            sh = struct.unpack_from(fmt, self.data, base)
            offset, size = sh[4], sh[5]
            entsize = 16 if self.is64 else 8
            entry = self.end + self.word * 2
            return offset, entsize, [struct.unpack_from(entry, self.data, offset + k * entsize)
                                     for k in range(size // entsize)]
        return None

    def set_dyn(self, index, tag, value):
        offset, entsize, _ = self.dynamic()
        struct.pack_into(self.end + self.word * 2, self.data, offset + index * entsize, tag, value)


def variants(data):
    """Malformed copies of one real PIE, each with one fault of the kinds the tool must refuse."""
    out = {}
    e = Elf(bytearray(data))
    loads = e.load_segments()
    if loads:
        v = Elf(bytearray(data))
        struct.pack_into(v.end + v.word, v.data, v.phdr_align_offset(loads[-1]), 0x7fffffff)
        out["align_not_power_of_two"] = v.data
    dyn = e.dynamic()
    if dyn is not None:
        _, _, entries = dyn
        tags = [tag for tag, _ in entries]
        for size_tag in (2, 8, 10, 18):  # DT_PLTRELSZ, DT_RELASZ, DT_STRSZ, DT_RELSZ
            if size_tag in tags:
                v = Elf(bytearray(data))
                k = tags.index(size_tag)
                v.set_dyn(k, size_tag, (1 << 32) | entries[k][1]) if v.is64 else v.set_dyn(k, size_tag, 0xffffffff)
                out["size_tag_%d_huge" % size_tag] = v.data
        table = 7 if 7 in tags else 17 if 17 in tags else None  # DT_RELA, DT_REL
        if table is not None and 0 in tags:
            v = Elf(bytearray(data))
            v.set_dyn(tags.index(0), 24 - table, entries[tags.index(table)][1])  # the other kind, same address
            out["both_rel_and_rela"] = v.data
    out["truncated_half"] = bytearray(data[:len(data) // 2])
    v = bytearray(data)
    struct.pack_into(e.end + "H", v, 60 if e.is64 else 48, 0)  # e_shnum 0, no extended numbering
    out["shnum_zero"] = v
    return out


SYMFILES = {
    "sample": b"# Symbols of the demo board\n0x10000000  uart_base\n0x80000400  board_reset   jumps\n",
    "crlf": b"0x10 a\r\n020 b\r\n\r\n#c\r\n-1 c\r\n",
    "long_comment": b"# " + b"c" * 300 + b"0xdead uart_base\n0x1 x",
    "overflow": b"99999999999999999999 big\n",
    "nul": b"0x10 na\0me\n",
    "incomplete": b"\n  \t\n0x10\n",
}


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    with tempfile.TemporaryDirectory() as work:
        for target in TARGETS:
            data = build(target, work)
            machine = target.split("-")[0]
            write(os.path.join(CORPUS, "elf"), machine, data)
            write(os.path.join(CORPUS, "run"), machine, RUN_OK + data)
            if machine == "x86_64":
                write(os.path.join(CORPUS, "run"), machine + "_same_output", RUN_SAME + data)
            for name, variant in variants(data).items():
                if machine in ("x86_64", "i386", "powerpc64"):
                    write(os.path.join(CORPUS, "run"), machine + "_" + name, RUN_OK + variant)
                    write(os.path.join(CORPUS, "elf"), machine + "_" + name, variant)
    for name, text in SYMFILES.items():
        for choice in (0x11, 0x24):  # fields 1:2 verbose 1, fields 1:1 verbose 2
            write(os.path.join(CORPUS, "symfile"), "%s_%02x" % (name, choice), bytes([choice]) + text)


if __name__ == "__main__":
    main()
