#!/usr/bin/python3
# What pefile, a PE reader that shares no code with the packer, says of a
# file as an application library: "ok", "not a 64-bit Windows DLL" or
# "exports no run_code". The tests hold the packer's verdict against it.
import sys

import pefile

try:
    pe = pefile.PE(sys.argv[1], fast_load=True)
except pefile.PEFormatError:
    print("not a 64-bit Windows DLL")
    sys.exit()
if (pe.FILE_HEADER.Machine != 0x8664 or pe.OPTIONAL_HEADER.Magic != 0x20B or not pe.is_dll()):
    print("not a 64-bit Windows DLL")
    sys.exit()
pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
names = [symbol.name for symbol in exports.symbols] if exports else []
print("ok" if b"run_code" in names else "exports no run_code")
