#!/usr/bin/python3
"""SOURCE_DATE_EPOCH end to end: the real builder run twice on one small tree, moved to another
folder and with its file times changed between the runs, in different time zones, umasks and
locales; the payload read back with pefile and Python's zipfile."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from extract_payload import payload_bytes  # noqa: E402

ROOT = os.environ.get("TARNQUILL_ROOT") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BUILDER = os.path.join(ROOT, "release", "bin", "build-online")
TOP = "TARNQUILL-v0.15.0/"
EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC
OLD = EPOCH - 400 * 86400 + 1  # before the epoch, an odd second
KATHMANDU_OFFSET = (5 * 60 + 45) * 60  # Asia/Kathmandu is UTC+05:45 all year


def make_tree(tree):
    for relative in ["assets/tarnquill.ico", "installer/bootstrap.cpp", "installer/kernel32.def",
                     "installer/user32.def"]:
        os.makedirs(os.path.dirname(os.path.join(tree, relative)), exist_ok=True)
        shutil.copyfile(os.path.join(ROOT, relative), os.path.join(tree, relative))
    for relative, text in [("package.json", '{"version": "0.15.0"}\n'), ("src/app.js", "1;\n"),
                           ("docs/old.txt", "old\n")]:
        os.makedirs(os.path.dirname(os.path.join(tree, relative)), exist_ok=True)
        with open(os.path.join(tree, relative), "w", encoding="utf-8") as out:
            out.write(text)
    os.utime(os.path.join(tree, "docs/old.txt"), (OLD, OLD))
    os.makedirs(os.path.join(tree, "release", "bin"))
    shutil.copy2(BUILDER, os.path.join(tree, "release", "bin", "build-online"))


def build(tree, **environment):
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    env.update(environment, PATH="/usr/lib/llvm-19/bin:" + os.environ.get("PATH", ""))
    umask = int(env.pop("UMASK", "022"), 8)
    result = subprocess.run([os.path.join(tree, "release", "bin", "build-online")], env=env,
                            capture_output=True, text=True, check=False,
                            preexec_fn=lambda: os.umask(umask))
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return os.path.join(tree, "release", "TARNQUILL-Setup-0.15.0-online.exe")


def member_times(exe):
    with tempfile.TemporaryFile() as archive:
        archive.write(payload_bytes(exe))
        with zipfile.ZipFile(archive) as payload:
            return {info.filename[len(TOP):]: info.date_time for info in payload.infolist()}


def zip_fields(seconds):
    fields = time.gmtime(seconds)
    return fields[:5] + (fields[5] // 2 * 2,)


class SourceDateEpoch(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.mkdtemp(prefix="tarnquill-sde-")
        self.addCleanup(shutil.rmtree, self.temp, ignore_errors=True)

    def test_one_epoch_gives_the_same_bytes_whatever_the_folder_zone_and_file_times(self):
        tree = os.path.join(self.temp, "a")
        make_tree(tree)
        with open(build(tree, SOURCE_DATE_EPOCH=str(EPOCH), TZ="UTC", LC_ALL="C"), "rb") as exe:
            first = hashlib.sha256(exe.read()).hexdigest()

        # The same tree in another folder, its newer files touched again.
        moved = os.path.join(self.temp, "another folder", "with a longer path")
        os.makedirs(os.path.dirname(moved))
        os.rename(tree, moved)
        later = time.time() + 7 * 86400
        for relative in ["src/app.js", "package.json", "installer/bootstrap.cpp"]:
            os.utime(os.path.join(moved, relative), (later, later))
        exe = build(moved, SOURCE_DATE_EPOCH=str(EPOCH), TZ="Asia/Kathmandu", UMASK="077",
                    LC_ALL="C.UTF-8")
        with open(exe, "rb") as second:
            self.assertEqual(hashlib.sha256(second.read()).hexdigest(), first)

        times = member_times(exe)
        self.assertEqual(times.pop("docs/old.txt"), zip_fields(OLD))
        self.assertEqual(set(times.values()), {zip_fields(EPOCH)})

    def test_without_the_variable_member_times_follow_the_files_in_local_time(self):
        tree = os.path.join(self.temp, "tree")
        make_tree(tree)
        exe = build(tree, TZ="Asia/Kathmandu")
        times = member_times(exe)
        self.assertEqual(times["docs/old.txt"], zip_fields(OLD + KATHMANDU_OFFSET))
        app_time = os.stat(os.path.join(tree, "src/app.js")).st_mtime
        self.assertEqual(times["src/app.js"], zip_fields(app_time + KATHMANDU_OFFSET))


if __name__ == "__main__":
    unittest.main(verbosity=2)
