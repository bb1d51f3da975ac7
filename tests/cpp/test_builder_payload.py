#!/usr/bin/python3
"""The builder run on a temporary tree, its output read back with independent readers:
Python's zipfile, unzip -t and pefile, a .res walk written here from the file format, and
PyYAML for the package manager manifest."""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import pefile
import yaml

ROOT = os.environ.get("TARNQUILL_ROOT") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BUILDER = os.path.join(ROOT, "release", "bin", "build-online")
EXTRACT = os.path.join(ROOT, "tests", "support", "extract_payload.py")
VERSION = "0.15.0"
TOP = f"TARNQUILL-v{VERSION}/"

# Files of the tree and whether the packing rules let them through.
TREE_FILES = {
    "package.json": True,
    ".gitignore": True,
    ".env": False,
    ".env.local": False,
    ".envrc": False,
    "a.txt": True,
    "a/b": True,
    "Zeta.md": True,
    "config/update-public-key.pem": True,
    "config/other.pem": False,
    "config/signing.key": False,
    "nested/.env/settings.json": True,
    "src/data/skip.json": False,
    "src/database.js": True,
    "deep/er/dist/bundle.js": False,
    "deep/er/node_modules/m.js": False,
    "deep/__pycache__/x.pyc": False,
    ".git/HEAD": False,
    ".runtime/electron.zip": False,
    ".tarnquill-secrets": False,
    "releases/notes.txt": True,
    "tool.exe": False,
    "tool.EXE": True,
    "obj.obj": False,
    "x.lib": False,
    "x.res": False,
    "x.exp": False,
    "build.log": False,
    "x.bundle": False,
    "x.patch": False,
    "cert.pfx": False,
    "cert.p12": False,
    "small.txt": True,
    "empty.txt": True,
}
# Inputs of every build, copied from the repository.
COPIED = ["assets/tarnquill.ico", "installer/bootstrap.cpp", "installer/kernel32.def",
          "installer/user32.def", "scripts/runtime.ps1"]
SMALL_TEXT = b"abcdefghijklmnopqrstuvwxyz0123456789ABC"  # 39 bytes, deflates to 41
# Texts that a YAML writer must quote or escape to keep: a YAML 1.1 boolean word, quotes, ": ",
# " #", a percent sign and a backslash, a tab, a Unicode line separator and non-ASCII letters.
LISTING = {
    "productName": "Yes",
    "author": "O'Brien: \"Tools\" #1",
    "license": "%LICENSE% \\ 100%",
    "description": "Tab\there, line\u2028separator, \u00dcn\u00efc\u00f6d\u00e9 \u2014 done",
    "releaseDownloadUrl": "https://example.test/d/v{version}/{file}",
}


def component_key(path):
    return [component.encode("utf-8") for component in path.split("/")]


def res_entries(data):
    """Walks a .res file: (type, id, memory flags, language, data) per entry."""
    entries = []
    at = 0
    while at < len(data):
        size, header_size = struct.unpack_from("<II", data, at)
        assert header_size == 32, header_size
        type_mark, kind, name_mark, ident = struct.unpack_from("<HHHH", data, at + 8)
        assert (type_mark, name_mark) == (0xFFFF, 0xFFFF)
        flags, language = struct.unpack_from("<HH", data, at + 20)
        entries.append((kind, ident, flags, language, data[at + 32:at + 32 + size]))
        at += 32 + size + (-size % 4)
    assert at == len(data)
    return entries


class BuiltTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.mkdtemp(prefix="tarnquill-payload-")
        cls.tree = os.path.join(cls.temp, "tree")
        for path, _ in TREE_FILES.items():
            full = os.path.join(cls.tree, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as out:
                if path == "package.json":
                    out.write(json.dumps(dict(LISTING, version=VERSION)).encode())
                elif path == "small.txt":
                    out.write(SMALL_TEXT)
                elif path != "empty.txt":
                    out.write(f"content of {path}\n".encode() * 3)
        for relative in COPIED:
            os.makedirs(os.path.dirname(os.path.join(cls.tree, relative)), exist_ok=True)
            shutil.copyfile(os.path.join(ROOT, relative), os.path.join(cls.tree, relative))
        cls.packed = sorted(
            [p for p, packed in TREE_FILES.items() if packed] + COPIED, key=component_key)
        # A fixed, even-second modification time for one file.
        cls.fixed_time = time.mktime((2024, 2, 29, 13, 45, 58, 0, 0, -1))
        os.utime(os.path.join(cls.tree, "a/b"), (cls.fixed_time, cls.fixed_time))
        os.makedirs(os.path.join(cls.tree, "release", "bin"))
        shutil.copy2(BUILDER, os.path.join(cls.tree, "release", "bin", "build-online"))

        env = dict(os.environ, PATH="/usr/lib/llvm-19/bin:" + os.environ.get("PATH", ""))
        env.pop("SOURCE_DATE_EPOCH", None)  # member times must follow the files here
        cls.result = subprocess.run(
            [os.path.join(cls.tree, "release", "bin", "build-online")], cwd=cls.temp, env=env,
            capture_output=True, text=True, check=False)
        cls.exe = os.path.join(cls.tree, "release", f"TARNQUILL-Setup-{VERSION}-online.exe")
        cls.zip_path = os.path.join(cls.temp, "payload.zip")
        if cls.result.returncode == 0:
            subprocess.run(["/usr/bin/python3", EXTRACT, cls.exe, cls.zip_path], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.temp, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)

    def test_members_are_the_packed_files_in_component_order_under_the_top_folder(self):
        with zipfile.ZipFile(self.zip_path) as archive:
            self.assertEqual(archive.namelist(), [TOP + p for p in self.packed])
            self.assertEqual(archive.comment, b"")

    def test_every_member_is_deflated_and_matches_its_crc(self):
        with zipfile.ZipFile(self.zip_path) as archive:
            self.assertIsNone(archive.testzip())
            for info in archive.infolist():
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED, info.filename)
                self.assertFalse(info.is_dir(), info.filename)
                self.assertEqual(info.flag_bits & 0x08, 0, "no data descriptor")
                original = os.path.join(self.tree, info.filename[len(TOP):])
                with open(original, "rb") as source:
                    self.assertEqual(archive.read(info), source.read(), info.filename)
        check = subprocess.run(["unzip", "-t", self.zip_path], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_a_39_byte_file_is_stored_deflated_although_it_grows(self):
        with zipfile.ZipFile(self.zip_path) as archive:
            info = archive.getinfo(TOP + "small.txt")
            self.assertEqual(info.file_size, 39)
            self.assertEqual(info.compress_size, 41)
            self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)

    def test_member_times_are_the_files_modification_times(self):
        with zipfile.ZipFile(self.zip_path) as archive:
            expected = time.localtime(self.fixed_time)[:6]
            self.assertEqual(archive.getinfo(TOP + "a/b").date_time, expected)
            for info in archive.infolist():
                modified = os.stat(os.path.join(self.tree, info.filename[len(TOP):])).st_mtime
                local = time.localtime(modified)
                self.assertEqual(info.date_time, local[:5] + (local[5] // 2 * 2,), info.filename)

    def test_setup_res_holds_the_entries_in_order_with_language_zero(self):
        with open(os.path.join(self.tree, "release", "build", "setup.res"), "rb") as res:
            entries = res_entries(res.read())
        with open(self.zip_path, "rb") as payload:
            payload_bytes = payload.read()
        with open(os.path.join(self.tree, "assets", "tarnquill.ico"), "rb") as ico_file:
            ico = ico_file.read()
        count = struct.unpack_from("<H", ico, 4)[0]
        self.assertEqual(entries[0], (0, 0, 0, 0, b""))
        self.assertEqual(entries[1][:2], (10, 2000))
        self.assertEqual(entries[1][4], payload_bytes)
        for i in range(count):
            size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
            self.assertEqual(entries[2 + i][:2], (3, 101 + i))
            self.assertEqual(entries[2 + i][4], ico[offset:offset + size])
        group = entries[2 + count]
        self.assertEqual(group[:2], (14, 101))
        self.assertEqual(len(group[4]), 6 + 14 * count)
        self.assertEqual([e[:2] for e in entries[3 + count:]], [(24, 1), (16, 1)])
        for kind, ident, flags, language, _ in entries[1:]:
            self.assertEqual((flags, language), (0x1030, 0), (kind, ident))

    def test_the_executable_carries_the_same_payload_and_the_checksum_line(self):
        pe = pefile.PE(self.exe)
        self.assertEqual(pe.FILE_HEADER.Machine, 0x8664)
        pe.close()
        with open(self.exe, "rb") as exe:
            digest = hashlib.sha256(exe.read()).hexdigest()
        with open(self.exe + ".sha256", "rb") as checksum:
            self.assertEqual(checksum.read(),
                             f"{digest}  TARNQUILL-Setup-{VERSION}-online.exe\n".encode())
        lines = self.result.stdout.splitlines()
        self.assertEqual(lines[0], f"Built unsigned x64 ONLINE installer: {self.exe}")
        self.assertEqual(lines[1], f"{os.path.getsize(self.exe)} bytes; embedded source ZIP "
                                   f"{os.path.getsize(self.zip_path)} bytes")
        self.assertEqual(lines[2], f"SHA256 {digest}")

    def test_a_yaml_reader_reads_the_package_json_texts_back_from_the_manifest(self):
        folder = os.path.join(self.tree, "release", "winget", "TARNQUILL.TARNQUILL", VERSION)
        read = {}
        for name in ["locale.en-US", "installer"]:
            with open(os.path.join(folder, f"TARNQUILL.TARNQUILL.{name}.yaml"), "rb") as file:
                read[name] = yaml.safe_load(file)
        self.assertEqual(
            [read["locale.en-US"][field] for field in
             ["PackageName", "Publisher", "License", "ShortDescription"]],
            [LISTING[member] for member in ["productName", "author", "license", "description"]])
        (installer,) = read["installer"]["Installers"]
        self.assertEqual(installer["InstallerUrl"],
                         f"https://example.test/d/v{VERSION}/TARNQUILL-Setup-{VERSION}-online.exe")


if __name__ == "__main__":
    unittest.main(verbosity=2)
