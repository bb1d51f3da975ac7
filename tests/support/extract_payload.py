#!/usr/bin/python3
"""Writes the payload archive (RT_RCDATA 2000) of a setup executable to a ZIP file.

Usage: /usr/bin/python3 tests/support/extract_payload.py <setup.exe> <out.zip>

Reads the executable with pefile, an independent PE reader, so tests never depend on the
image builder's own code to find what it embedded.
"""
import sys

import pefile

RT_RCDATA = 10
PAYLOAD_ID = 2000


def payload_bytes(exe_path):
    """Returns the bytes of RT_RCDATA 2000, or raises LookupError when it is absent."""
    pe = pefile.PE(exe_path, fast_load=True)
    try:
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for kind in root.entries if root is not None else []:
            if kind.id != RT_RCDATA:
                continue
            for name in kind.directory.entries:
                if name.id != PAYLOAD_ID:
                    continue
                for language in name.directory.entries:
                    data = language.data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
        raise LookupError(f"{exe_path} has no RT_RCDATA {PAYLOAD_ID} resource")
    finally:
        pe.close()


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("Usage: extract_payload.py <setup.exe> <out.zip>\n")
        return 2
    try:
        data = payload_bytes(argv[1])
    except (OSError, LookupError, pefile.PEFormatError) as error:
        sys.stderr.write(f"extract_payload.py: {error}\n")
        return 1
    with open(argv[2], "wb") as out:
        out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
