#!/usr/bin/env python3
"""Shows that the image check refuses a broken image: the built driver image
passes, then one field at a time is corrupted in a copy and each copy must be
refused. Exit status 0 when every case behaves, 1 otherwise."""
import argparse
import contextlib
import io
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe_image  # noqa: E402


def offsets(data):
    """Offsets of the fields the cases corrupt, read from the intact image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    coff = pe + 4
    optional_size = struct.unpack_from("<H", data, coff + 16)[0]
    opt = coff + 20
    sections = opt + optional_size
    section_count = struct.unpack_from("<H", data, coff + 2)[0]
    text = reloc = None
    for index in range(section_count):
        at = sections + 40 * index
        name = data[at:at + 8].rstrip(b"\0")
        if name == b".text":
            text = at
        elif name == b".reloc":
            reloc = at
    return {"pe": pe, "coff": coff, "opt": opt, "text": text, "reloc": reloc}


def put16(data, offset, value):
    struct.pack_into("<H", data, offset, value)


def put32(data, offset, value):
    struct.pack_into("<I", data, offset, value)


def first_relocation_entry(data, at):
    """File offset of the first relocation entry of the .reloc section."""
    raw_ptr = struct.unpack_from("<I", data, at["reloc"] + 20)[0]
    return raw_ptr + 8


CASES = [
    # (what is broken, how, extra check arguments)
    ("DOS signature", lambda d, a: d.__setitem__(slice(0, 2), b"ZM"), {}),
    ("PE signature", lambda d, a: d.__setitem__(slice(a["pe"], a["pe"] + 4), b"PX\0\0"), {}),
    ("machine is i386", lambda d, a: put16(d, a["coff"], 0x014C), {}),
    ("optional header is PE32", lambda d, a: put16(d, a["opt"], 0x10B), {}),
    ("subsystem is an application", lambda d, a: put16(d, a["opt"] + 68, 10), {}),
    ("entry point moved", lambda d, a: put32(d, a["opt"] + 16, struct.unpack_from("<I", d, a["opt"] + 16)[0] + 1), {}),
    ("entry point outside the code", lambda d, a: put32(d, a["opt"] + 16, 0x10), {}),
    ("base relocations dropped", lambda d, a: put32(d, a["opt"] + 112 + 8 * 5 + 4, 0), {}),
    ("relocation of a 32-bit type", lambda d, a: put16(d, first_relocation_entry(d, a), (3 << 12) | 0x10), {}),
    ("import table present", lambda d, a: put32(d, a["opt"] + 112 + 8 * 1 + 4, 40), {}),
    ("thread-local storage present", lambda d, a: put32(d, a["opt"] + 112 + 8 * 9 + 4, 40), {}),
    ("code section writable", lambda d, a: put32(d, a["text"] + 36, struct.unpack_from("<I", d, a["text"] + 36)[0] | 0x80000000), {}),
    ("file alignment below 512", lambda d, a: put32(d, a["opt"] + 36, 32), {}),
    ("image size too small", lambda d, a: put32(d, a["opt"] + 56, 0x1000), {}),
    ("file truncated", lambda d, a: d.__delitem__(slice(len(d) // 2, len(d))), {}),
    ("over the size budget", lambda d, a: None, {"max_size": -1}),
]


def run_check(path, map_path, max_size):
    arguments = argparse.Namespace(image=path, map=map_path, entry="ImageEntry", subsystem=11, max_size=max_size)
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        status = check_pe_image.check(arguments)
    return status, output.getvalue()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", required=True)
    parser.add_argument("--map", required=True)
    args = parser.parse_args()
    with open(args.image, "rb") as handle:
        intact = handle.read()
    at = offsets(intact)
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "image.efi")
        with open(path, "wb") as handle:
            handle.write(intact)
        status, output = run_check(path, args.map, len(intact))
        if status != 0:
            failures += 1
            print(f"FAIL intact image refused:\n{output}")
        else:
            print("ok   intact image passes")
        for what, corrupt, extra in CASES:
            data = bytearray(intact)
            corrupt(data, at)
            with open(path, "wb") as handle:
                handle.write(data)
            max_size = len(intact) + extra.get("max_size", 0)
            status, output = run_check(path, args.map, max_size)
            reasons = [line[5:] for line in output.splitlines() if line.startswith("FAIL ")]
            if status == 0:
                failures += 1
                print(f"FAIL {what}: accepted")
            else:
                print(f"ok   {what}: refused ({reasons[0] if reasons else 'no reason given'})")
    print("PASS" if failures == 0 else f"{failures} case(s) misbehaved")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
