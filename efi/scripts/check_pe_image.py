#!/usr/bin/env python3
"""Checks a PE32+ EFI image as the firmware's image loader would see it.

Checked: DOS and PE signatures; machine x86-64 (0x8664); optional-header
magic 0x20B (PE32+); the expected subsystem; the entry point inside an
executable section and, given the linker map, at the named symbol; base
relocations present and well formed (only DIR64 entries on x86-64); no
import, delay-import or thread-local-storage directory (the image must need
nothing but the system table it is given); no section both writable and
executable; sections inside the file and the image size; file and section
alignments the PE format allows; optionally a size budget. Prints the
image's size and layout. Exit status 0 when every check passes, 1 otherwise.
"""
import argparse
import re
import struct
import sys

MACHINE_X64 = 0x8664
MAGIC_PE32_PLUS = 0x20B
DIR_IMPORT, DIR_BASERELOC, DIR_TLS, DIR_DELAY_IMPORT = 1, 5, 9, 13
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
REL_BASED_ABSOLUTE, REL_BASED_DIR64 = 0, 10
SUBSYSTEMS = {10: "EFI application", 11: "EFI boot-service driver", 12: "EFI runtime driver"}


class PeImage:
    def __init__(self, data):
        self.data = data
        self.problems = []

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def u64(self, offset):
        return struct.unpack_from("<Q", self.data, offset)[0]

    def parse(self):
        data = self.data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise ValueError("no DOS header (MZ)")
        pe = self.u32(0x3C)
        if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = pe + 4
        self.machine = self.u16(coff)
        section_count = self.u16(coff + 2)
        optional_size = self.u16(coff + 16)
        opt = coff + 20
        if opt + optional_size > len(data):
            raise ValueError("optional header runs past the end of the file")
        self.magic = self.u16(opt)
        if self.magic != MAGIC_PE32_PLUS:
            return
        self.entry = self.u32(opt + 16)
        self.image_base = self.u64(opt + 24)
        self.section_alignment = self.u32(opt + 32)
        self.file_alignment = self.u32(opt + 36)
        self.size_of_image = self.u32(opt + 56)
        self.size_of_headers = self.u32(opt + 60)
        self.subsystem = self.u16(opt + 68)
        directory_count = self.u32(opt + 108)
        self.directories = []
        for index in range(directory_count):
            if 112 + 8 * index + 8 > optional_size:
                break
            self.directories.append((self.u32(opt + 112 + 8 * index), self.u32(opt + 116 + 8 * index)))
        self.sections = []
        table = opt + optional_size
        for index in range(section_count):
            at = table + 40 * index
            if at + 40 > len(data):
                raise ValueError("section table runs past the end of the file")
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            self.sections.append({
                "name": name,
                "vsize": self.u32(at + 8),
                "rva": self.u32(at + 12),
                "raw_size": self.u32(at + 16),
                "raw_ptr": self.u32(at + 20),
                "flags": self.u32(at + 36),
            })

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_of(self, rva):
        for section in self.sections:
            if section["rva"] <= rva < section["rva"] + max(section["vsize"], section["raw_size"]):
                return section
        return None

    def file_offset(self, rva):
        section = self.section_of(rva)
        if section is None or rva - section["rva"] >= section["raw_size"]:
            return None
        return section["raw_ptr"] + rva - section["rva"]

    def relocation_count(self):
        """Counts DIR64 relocations; records a problem for anything malformed."""
        rva, size = self.directory(DIR_BASERELOC)
        start = self.file_offset(rva) if size else None
        if start is None:
            return 0
        count, at, end = 0, start, start + size
        while at < end:
            if at + 8 > len(self.data):
                self.problems.append("base relocation block runs past the end of the file")
                break
            page, block_size = self.u32(at), self.u32(at + 4)
            if block_size < 8 or block_size % 2 or at + block_size > end:
                self.problems.append(f"malformed base relocation block at page 0x{page:x} (size {block_size})")
                break
            for entry_at in range(at + 8, at + block_size, 2):
                entry = self.u16(entry_at)
                kind = entry >> 12
                if kind == REL_BASED_DIR64:
                    count += 1
                    target = page + (entry & 0xFFF)
                    if self.section_of(target) is None:
                        self.problems.append(f"relocation at RVA 0x{target:x} is outside every section")
                elif kind != REL_BASED_ABSOLUTE:
                    self.problems.append(f"relocation of type {kind} at page 0x{page:x} (only DIR64 is valid on x64)")
            at += block_size
        return count


def symbol_rva(map_path, symbol, image_base):
    """The RVA of a symbol in an lld-link map, or None."""
    hex_number = re.compile(r"[0-9a-fA-F]+")
    with open(map_path, encoding="utf-8", errors="replace") as handle:
        for line in handle:
            fields = line.split()
            # link.exe-style map: "0001:00000147  ImageEntry  0000000140000347  Entry.cpp.obj"
            if len(fields) >= 3 and fields[1] == symbol and hex_number.fullmatch(fields[2]):
                return int(fields[2], 16) - image_base
            # lld-style map: "Address Size Align Out In Symbol", the address first and the symbol last
            if len(fields) >= 2 and fields[-1] == symbol and hex_number.fullmatch(fields[0]):
                address = int(fields[0], 16)
                return address - image_base if address >= image_base else address
    return None


def check(args):
    with open(args.image, "rb") as handle:
        data = handle.read()
    image = PeImage(data)
    try:
        image.parse()
    except (ValueError, struct.error) as error:
        print(f"FAIL {args.image}: {error}")
        return 1
    problems = image.problems
    if image.machine != MACHINE_X64:
        problems.append(f"machine 0x{image.machine:04x}, expected 0x{MACHINE_X64:04x} (x86-64)")
    if image.magic != MAGIC_PE32_PLUS:
        problems.append(f"optional-header magic 0x{image.magic:x}, expected 0x{MAGIC_PE32_PLUS:x} (PE32+)")
        for problem in problems:
            print(f"FAIL {problem}")
        return 1
    if image.subsystem != args.subsystem:
        problems.append(f"subsystem {image.subsystem}, expected {args.subsystem} ({SUBSYSTEMS.get(args.subsystem, '?')})")

    entry_section = image.section_of(image.entry)
    if entry_section is None or not entry_section["flags"] & SCN_MEM_EXECUTE:
        problems.append(f"entry point RVA 0x{image.entry:x} is not in an executable section")
    if args.map:
        expected = symbol_rva(args.map, args.entry, image.image_base)
        if expected is None:
            problems.append(f"symbol {args.entry} not found in {args.map}")
        elif expected != image.entry:
            problems.append(f"entry point RVA 0x{image.entry:x}, but {args.entry} is at RVA 0x{expected:x}")

    relocations = image.relocation_count()
    if relocations == 0:
        problems.append("no base relocations: the loader could not place the image at another address")
    for name, index in (("an import", DIR_IMPORT), ("a delay-import", DIR_DELAY_IMPORT),
                        ("a thread-local storage", DIR_TLS)):
        if image.directory(index)[1] != 0:
            problems.append(f"the image has {name} directory")

    end_of_image = 0
    for section in image.sections:
        flags = section["flags"]
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            problems.append(f"section {section['name']} is both writable and executable")
        if section["raw_ptr"] + section["raw_size"] > len(data):
            problems.append(f"section {section['name']} runs past the end of the file")
        end_of_image = max(end_of_image, section["rva"] + max(section["vsize"], section["raw_size"]))
    # The PE format: power-of-two alignments, at least 512 bytes in the file
    # unless sections are aligned below a page, and then equal in memory.
    file_alignment, section_alignment = image.file_alignment, image.section_alignment
    power_of_two = file_alignment and section_alignment and not file_alignment & (file_alignment - 1) and \
        not section_alignment & (section_alignment - 1)
    if not power_of_two or section_alignment < file_alignment or (
            section_alignment >= 4096 and not 512 <= file_alignment <= 65536) or (
            section_alignment < 4096 and file_alignment != section_alignment):
        problems.append(f"alignments not valid for PE: file 0x{file_alignment:x}, sections 0x{section_alignment:x}")
    if image.size_of_image < end_of_image or not section_alignment or image.size_of_image % section_alignment:
        problems.append(f"SizeOfImage 0x{image.size_of_image:x} does not cover the sections (end 0x{end_of_image:x})")

    if args.max_size is not None and len(data) > args.max_size:
        problems.append(f"image is {len(data)} bytes, over the budget of {args.max_size}")

    budget = f" (budget {args.max_size})" if args.max_size is not None else ""
    print(f"{args.image}: {len(data)} bytes{budget}, SizeOfImage 0x{image.size_of_image:x}, "
          f"subsystem {image.subsystem} ({SUBSYSTEMS.get(image.subsystem, '?')}), entry RVA 0x{image.entry:x}, "
          f"{relocations} DIR64 relocations")
    for section in image.sections:
        print(f"  {section['name']:<8} rva 0x{section['rva']:05x} vsize 0x{section['vsize']:05x} "
              f"raw 0x{section['raw_size']:05x} flags 0x{section['flags']:08x}")
    for problem in problems:
        print(f"FAIL {problem}")
    if not problems:
        print("PASS")
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", required=True, help="the PE32+ image")
    parser.add_argument("--subsystem", type=int, required=True, help="expected subsystem (10, 11 or 12)")
    parser.add_argument("--map", help="lld-link map of the image, to find the entry symbol")
    parser.add_argument("--entry", default="ImageEntry", help="symbol the entry point must be")
    parser.add_argument("--max-size", type=int, help="size budget of the image file in bytes")
    return check(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
