#!/usr/bin/python3
"""SOURCE_DATE_EPOCH end to end: the real builder run twice on one small tree, moved to another
folder and with its file times changed between the runs, in different time zones, umasks and
locales; the payload read back with pefile and Python's zipfile, and the bill of materials and
the package manager manifest compared byte for byte."""
import io
import os
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from extract_payload import payload_bytes  # noqa: E402

ROOT = Path(os.environ.get("TARNQUILL_ROOT") or Path(__file__).resolve().parents[2])
EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC
OLD = EPOCH - 400 * 86400 + 1  # before the epoch, an odd second
KATHMANDU = (5 * 60 + 45) * 60  # Asia/Kathmandu is UTC+05:45 all year


def make_tree(tree):
    files = {name: (ROOT / name).read_bytes() for name in [
        "assets/tarnquill.ico", "installer/bootstrap.cpp", "installer/kernel32.def",
        "installer/user32.def", "scripts/runtime.ps1", "release/bin/build-online"]}
    listing = (b'{"version": "0.15.0", "productName": "TARNQUILL", "author": "Makers",'
               b' "license": "MIT", "description": "A tool.",'
               b' "releaseDownloadUrl": "https://example.test/{version}/{file}"}')
    files.update({"package.json": listing, "src/app.js": b"1;", "docs/old": b""})
    for name, data in files.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)
    (tree / "release/bin/build-online").chmod(0o755)
    os.utime(tree / "docs/old", (OLD, OLD))


def build(tree, umask=0o022, **environment):
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    env.update(environment, PATH="/usr/lib/llvm-19/bin:" + os.environ.get("PATH", ""))
    result = subprocess.run([tree / "release/bin/build-online"], env=env, capture_output=True,
                            text=True, check=False, preexec_fn=lambda: os.umask(umask))
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    exe = tree / "release/TARNQUILL-Setup-0.15.0-online.exe"
    with zipfile.ZipFile(io.BytesIO(payload_bytes(exe))) as payload:
        times = {info.filename.split("/", 1)[1]: info.date_time for info in payload.infolist()}
    manifest = sorted((tree / "release/winget/TARNQUILL.TARNQUILL/0.15.0").iterdir())
    if len(manifest) != 3:
        raise AssertionError(f"the package manager manifest is {manifest}")
    return [exe.read_bytes(), Path(f"{exe}.cdx.json").read_bytes()] + [
        (path.name, path.read_bytes()) for path in manifest], times


def zip_fields(seconds):
    fields = time.gmtime(seconds)
    return fields[:5] + (fields[5] // 2 * 2,)


class SourceDateEpoch(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory(prefix="tarnquill-sde-")
        self.addCleanup(temp.cleanup)
        self.temp = Path(temp.name)

    def test_one_epoch_gives_the_same_bytes_whatever_the_folder_zone_and_file_times(self):
        tree = self.temp / "a"
        make_tree(tree)
        first, _ = build(tree, SOURCE_DATE_EPOCH=str(EPOCH), TZ="UTC", LC_ALL="C")
        # The same tree in another folder, some of its newer files touched again.
        moved = self.temp / "another folder/with a longer path"
        moved.parent.mkdir()
        tree.rename(moved)
        later = time.time() + 7 * 86400
        for name in ["src/app.js", "package.json", "installer/bootstrap.cpp"]:
            os.utime(moved / name, (later, later))
        second, times = build(moved, umask=0o077, SOURCE_DATE_EPOCH=str(EPOCH),
                              TZ="Asia/Kathmandu", LC_ALL="C.UTF-8")
        # The manifest's files in name order: installer, default locale, version.
        for what, one, other in zip(["setups", "bills of materials", "installer files",
                                     "default-locale files", "version files"], first, second):
            self.assertTrue(one == other, f"the two builds' {what} differ")
        self.assertIn(b'"timestamp": "2023-11-14T22:13:20Z"', second[1])
        self.assertEqual(times.pop("docs/old"), zip_fields(OLD))
        self.assertEqual(set(times.values()), {zip_fields(EPOCH)})

    def test_without_the_variable_member_times_follow_the_files_in_local_time(self):
        make_tree(self.temp)
        _, times = build(self.temp, TZ="Asia/Kathmandu")
        self.assertEqual(times["docs/old"], zip_fields(OLD + KATHMANDU))
        app_time = (self.temp / "src/app.js").stat().st_mtime
        self.assertEqual(times["src/app.js"], zip_fields(app_time + KATHMANDU))


if __name__ == "__main__":
    unittest.main(verbosity=2)
