#!/usr/bin/python3
"""Prints the fields of a Windows shell link (.lnk) as name=value lines.

Usage: /usr/bin/python3 tests/support/lnk_fields.py <file.lnk>

Reads the file by the published shell link layout, independently of whatever wrote it:
target (the local base path of the link information, with its common suffix), name,
relative_path, working_dir, arguments, icon_location and icon_index. Absent fields are
not printed.
"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, IS_UNICODE = 0x01, 0x02, 0x80
STRINGS = ((0x04, "name"), (0x08, "relative_path"), (0x10, "working_dir"),
           (0x20, "arguments"), (0x40, "icon_location"))


def c_string(data, offset, unicode):
    if unicode:
        end = offset
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[offset:end].decode("utf-16-le")
    return data[offset:data.index(b"\0", offset)].decode("mbcs" if sys.platform == "win32" else "latin-1")


def link_target(data, start):
    header_size, flags, _volume, base, _network, suffix = struct.unpack_from("<6I", data, start + 4)
    if not flags & 1:
        return None
    if header_size >= 0x24:
        base_unicode, suffix_unicode = struct.unpack_from("<2I", data, start + 28)
        return c_string(data, start + base_unicode, True) + c_string(data, start + suffix_unicode, True)
    return c_string(data, start + base, False) + c_string(data, start + suffix, False)


def fields(data):
    if struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    result = {"icon_index": str(struct.unpack_from("<i", data, 0x38)[0])}
    offset = 0x4C
    if flags & HAS_ID_LIST:
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    if flags & HAS_LINK_INFO:
        target = link_target(data, offset)
        if target is not None:
            result["target"] = target
        offset += struct.unpack_from("<I", data, offset)[0]
    unicode = bool(flags & IS_UNICODE)
    for bit, name in STRINGS:
        if flags & bit:
            count = struct.unpack_from("<H", data, offset)[0]
            offset += 2
            size = count * 2 if unicode else count
            raw = data[offset:offset + size]
            text = raw.decode("utf-16-le") if unicode else raw.decode("latin-1")
            # Wine counts a terminating null in the length, Windows writes none.
            result[name] = text[:-1] if text.endswith("\0") else text
            offset += size
    return result


if __name__ == "__main__":
    for key, value in fields(open(sys.argv[1], "rb").read()).items():
        print(f"{key}={value}")
