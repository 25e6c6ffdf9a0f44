#!/usr/bin/env python3
"""Checks that Windows programs get the exploit mitigations Windows offers:
ASLR (a relocatable image, with 64-bit entropy), DEP (NX compatible), and no
section both writable and executable. Reads the PE headers itself.

    pe_hardening.py PROGRAM.exe|DLL|FOLDER...

A folder stands for every .exe and .dll under it.
"""
import os
import struct
import sys

# DllCharacteristics in the optional header.
REQUIRED = {
    0x0020: "HIGH_ENTROPY_VA (64-bit ASLR)",
    0x0040: "DYNAMIC_BASE (ASLR)",
    0x0100: "NX_COMPAT (DEP)",
}
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
PE32_PLUS = 0x20B


def problems(data):
    """What keeps the image in `data` from being hardened, as sentences."""
    if data[:2] != b"MZ":
        return ["not a PE file (no MZ header)"]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["not a PE file (no PE signature)"]
    _machine, sections, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    found = []
    if magic != PE32_PLUS:
        found.append(f"not a 64-bit image (optional header magic {magic:#x})")
        return found
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    for flag, name in REQUIRED.items():
        if not dll_characteristics & flag:
            found.append(f"DllCharacteristics lacks {name}")
    # ASLR cannot move an image whose relocations were stripped.
    if characteristics & IMAGE_FILE_RELOCS_STRIPPED:
        found.append("relocations stripped: the image cannot be moved")
    # Below 4 GiB, high-entropy ASLR has too little room to place the image.
    if image_base < 1 << 32:
        found.append(f"image base {image_base:#x} is below 4 GiB")
    table = optional + optional_size
    for i in range(sections):
        name, _vsize, _vaddr, _size, _ptr, _, _, _, _, flags = struct.unpack_from("<8sIIIIIIHHI", data, table + 40 * i)
        if flags & IMAGE_SCN_MEM_EXECUTE and flags & IMAGE_SCN_MEM_WRITE:
            found.append(f"section {name.rstrip(bytes(1)).decode(errors='replace')} is writable and executable")
    return found


def images(paths):
    for path in paths:
        if os.path.isdir(path):
            for folder, _, names in sorted(os.walk(path)):
                yield from (os.path.join(folder, n) for n in sorted(names) if n.lower().endswith((".exe", ".dll")))
        else:
            yield path


def main(paths):
    paths = list(images(paths))
    failed = 0
    for path in paths:
        with open(path, "rb") as f:
            found = problems(f.read())
        for problem in found:
            print(f"FAIL: {path}: {problem}", file=sys.stderr)
        if found:
            failed += 1
        else:
            print(f"ok: {path}: ASLR (high entropy), DEP, no writable code")
    print(f"{len(paths) - failed} passed, {failed} failed")
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
