#!/usr/bin/python3
"""The real setup executable read back by pefile and llvm-readobj, the bill of materials beside it
held to the setup's bytes, its payload and what its own install script shows, and the package
manager manifest read with PyYAML and held to the setup, package.json and the README's table of
exit codes.

ctest-fixtures: setup_exe
ctest-lock: tarnquill_process (install.ps1 stops early while a test's process named TARNQUILL runs)
"""
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import uuid
import zipfile

import pefile
import yaml

ROOT = os.environ.get("TARNQUILL_ROOT") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
with open(os.path.join(ROOT, "package.json"), encoding="utf-8") as package:
    PACKAGE = json.load(package)
VERSION = PACKAGE["version"]
EXE = os.environ.get("TARNQUILL_TEST_SETUP_EXE") or os.path.join(
    ROOT, "release", "test", "setup", f"TARNQUILL-Setup-{VERSION}-online.exe")
EXTRACT = os.path.join(ROOT, "tests", "support", "extract_payload.py")
READOBJ = shutil.which("llvm-readobj") or "/usr/lib/llvm-19/bin/llvm-readobj"
BOM = EXE[:-len(".exe")] + ".exe.cdx.json"
VALIDATE = os.path.join(ROOT, "tests", "support", "validate_cyclonedx.js")
WINGET = os.path.join(os.path.dirname(EXE), "winget", "TARNQUILL.TARNQUILL", VERSION)
# ReturnResponse names of the package manager's manifest schema 1.28.0.
RETURN_RESPONSES = {
    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse",
    "missingDependency", "diskFull", "insufficientMemory", "invalidParameter", "noNetwork",
    "contactSupport", "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated",
    "cancelledByUser", "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported",
    "custom"}
PWSH = os.environ.get("TARNQUILL_PWSH") or os.path.join(ROOT, "release", "tools", "pwsh", "pwsh")
PACKAGEURL_JS = os.path.join(os.environ.get("TARNQUILL_RELEASE") or os.path.join(ROOT, "release"),
                             "tools", "npm", "node_modules", "packageurl-js")
# The formatted-string pattern of the CPE 2.3 dictionary schema.
CPE23 = re.compile(
    r"cpe:2\.3:[aho\*\-](:(((\?*|\*?)([a-zA-Z0-9\-\._]|"
    r"(\\[\\\*\?!\"#$%&'\(\)\+,/:;<=>@\[\]\^`\{\|}~]))+(\?*|\*?))|[\*\-])){5}"
    r"(:(([a-zA-Z]{2,3}(-([a-zA-Z]{2}|[0-9]{3}))?)|[\*\-]))(:(((\?*|\*?)([a-zA-Z0-9\-\._]|"
    r"(\\[\\\*\?!\"#$%&'\(\)\+,/:;<=>@\[\]\^`\{\|}~]))+(\?*|\*?))|[\*\-])){4}")

KERNEL32 = ["GetTempPathW", "GetSystemDirectoryW", "CreateDirectoryW", "GetCurrentProcessId",
            "GetTickCount64", "CreateFileW", "WriteFile", "CloseHandle",
            "SetEnvironmentVariableW", "CreateProcessW", "WaitForSingleObject",
            "GetExitCodeProcess", "FindResourceW", "LoadResource", "LockResource",
            "SizeofResource", "lstrcpyW", "lstrcatW", "lstrlenW", "GetUserDefaultUILanguage",
            "ExitProcess", "GetModuleFileNameW"]
USER32 = ["MessageBoxW"]

MANIFEST = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
    f'<assemblyIdentity version="{VERSION}.0" processorArchitecture="amd64" '
    'name="TARNQUILL.Setup" type="win32"/>'
    '<description>TARNQUILL online installer</description>'
    '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
    '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
    '</requestedPrivileges></security></trustInfo>'
    '<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>'
    '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'
    '</application></compatibility></assembly>')


def resources(pe):
    """{type: {id: [(language id, bytes)]}} from the resource directory."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.setdefault(kind.id, {}).setdefault(name.id, []).append(
                    (language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


class SetupExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)
        cls.resources = resources(cls.pe)
        with open(os.path.join(ROOT, "assets", "tarnquill.ico"), "rb") as ico:
            cls.ico = ico.read()

    @classmethod
    def tearDownClass(cls):
        cls.pe.close()

    def test_is_a_pe32_plus_x64_gui_image_with_time_stamp_zero(self):
        pe = self.pe
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x20B)
        self.assertEqual(pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0)
        self.assertEqual(pe.FILE_HEADER.Characteristics & 0x22, 0x22)  # executable, large address
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2)
        self.assertEqual((pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                          pe.OPTIONAL_HEADER.MinorSubsystemVersion), (6, 2))
        # dynamic base, NX compatible, high-entropy VA, terminal-server aware
        self.assertEqual(pe.OPTIONAL_HEADER.DllCharacteristics, 0x8160)

    def test_entry_point_is_the_start_of_the_code_section(self):
        code = [s for s in self.pe.sections if s.Characteristics & 0x20]
        self.assertEqual(len(code), 1)
        self.assertEqual(self.pe.OPTIONAL_HEADER.AddressOfEntryPoint, code[0].VirtualAddress)

    def test_sections_are_code_read_only_data_zero_fill_data_and_resources(self):
        names = [s.Name.rstrip(b"\0").decode() for s in self.pe.sections]
        self.assertEqual(names, [".text", ".rdata", ".data", ".rsrc"])
        data = self.pe.sections[2]
        self.assertEqual(data.SizeOfRawData, 0, "the writable data holds no file bytes")

    def test_imports_only_the_listed_functions_all_by_name(self):
        imports = {}
        for library in self.pe.DIRECTORY_ENTRY_IMPORT:
            for symbol in library.imports:
                self.assertFalse(symbol.import_by_ordinal, symbol.name)
            imports[library.dll.decode()] = sorted(s.name.decode() for s in library.imports)
        self.assertEqual(imports, {"KERNEL32.dll": sorted(KERNEL32), "USER32.dll": USER32})

    def test_has_the_five_resource_kinds_with_their_ids_once_in_language_zero(self):
        count = struct.unpack_from("<H", self.ico, 4)[0]
        expected = {3: list(range(101, 101 + count)), 10: [2000], 14: [101], 16: [1], 24: [1]}
        self.assertEqual({k: sorted(v) for k, v in self.resources.items()}, expected)
        for kind, names in self.resources.items():
            for ident, instances in names.items():
                self.assertEqual([language for language, _ in instances], [0], (kind, ident))

    def test_icons_are_the_ico_images_and_the_group_names_them(self):
        count = struct.unpack_from("<H", self.ico, 4)[0]
        group = self.resources[14][101][0][1]
        self.assertEqual(len(group), 6 + 14 * count)
        self.assertEqual(struct.unpack_from("<HHH", group, 0), (0, 1, count))
        for i in range(count):
            entry = self.ico[6 + 16 * i:6 + 16 * (i + 1)]
            size, offset = struct.unpack_from("<II", entry, 8)
            self.assertEqual(group[6 + 14 * i:6 + 14 * i + 12], entry[:12])
            self.assertEqual(struct.unpack_from("<H", group, 6 + 14 * i + 12)[0], 101 + i)
            self.assertEqual(self.resources[3][101 + i][0][1], self.ico[offset:offset + size])

    def test_shipped_icon_gives_a_132_byte_group(self):
        if VERSION != "0.15.0":
            self.skipTest("the figures belong to the 0.15.0 tree")
        self.assertEqual(len(self.resources[14][101][0][1]), 132)

    def test_manifest_is_the_one_line_as_invoker_manifest(self):
        manifest = self.resources[24][1][0][1]
        self.assertEqual(manifest.decode("utf-8"), MANIFEST)
        if VERSION == "0.15.0":
            self.assertEqual(len(manifest), 652)

    def test_version_record_carries_the_release_version(self):
        record = self.resources[16][1][0][1]
        if VERSION == "0.15.0":
            self.assertEqual(len(record), 712)
        self.assertEqual(struct.unpack_from("<H", record, 0)[0], len(record))
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        major, minor, patch = (int(part) for part in VERSION.split("."))
        self.assertEqual(fixed.Signature, 0xFEEF04BD)
        self.assertEqual(fixed.StrucVersion, 0x10000)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                         ((major << 16) | minor, patch << 16))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS),
                         ((major << 16) | minor, patch << 16))
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType,
                          fixed.FileSubtype, fixed.FileDateMS, fixed.FileDateLS),
                         (0x3F, 0, 0x40004, 1, 0, 0, 0))
        tables = []
        translations = []
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                tables.extend(info.StringTable)
            elif info.Key == b"VarFileInfo":
                translations.extend(var.entry for var in info.Var)
        self.assertEqual([t.LangID for t in tables], [b"040904b0"])
        strings = [(k.decode(), v.decode()) for k, v in tables[0].entries.items()]
        self.assertEqual(strings, [
            ("CompanyName", "TARNQUILL"),
            ("FileDescription", f"TARNQUILL {VERSION} online installer"),
            ("FileVersion", f"{VERSION}.0"),
            ("InternalName", "TARNQUILL-Setup"),
            ("OriginalFilename", f"TARNQUILL-Setup-{VERSION}-online.exe"),
            ("ProductName", "TARNQUILL"),
            ("ProductVersion", f"{VERSION}.0"),
        ])
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_payload_is_the_source_tree_under_its_versioned_top_folder(self):
        with tempfile.TemporaryDirectory() as temp:
            zip_path = os.path.join(temp, "payload.zip")
            subprocess.run(["/usr/bin/python3", EXTRACT, EXE, zip_path], check=True)
            self.assertGreaterEqual(os.path.getsize(zip_path), 1000)
            with zipfile.ZipFile(zip_path) as archive:
                self.assertIsNone(archive.testzip())
                names = archive.namelist()
                top = f"TARNQUILL-v{VERSION}/"
                self.assertTrue(all(name.startswith(top) for name in names))
                for member in ["package.json", "assets/tarnquill.ico", "installer/bootstrap.cpp",
                               "installer/kernel32.def", "installer/user32.def",
                               "installer/build-online.cpp"]:
                    self.assertIn(top + member, names)
                self.assertFalse([n for n in names if "/release/" in n or n.endswith(".exe")])
                self.assertEqual(json.loads(archive.read(top + "package.json"))["version"],
                                 VERSION)
                # The packed bootstrap is the tree's own source, placeholders and all.
                with open(os.path.join(ROOT, "installer", "bootstrap.cpp"), "rb") as source:
                    self.assertEqual(archive.read(top + "installer/bootstrap.cpp"), source.read())

    def test_payload_holds_every_member_the_installation_relies_on(self):
        relied_on = ["scripts/install.ps1", "scripts/runtime.ps1",
                     "scripts/installation-safety.ps1", "scripts/package-portable.ps1",
                     "scripts/native-methods.ps1", "scripts/native/ReparseTagReader.cs",
                     "scripts/set-executable-icon.ps1", "scripts/uninstall-installed.ps1",
                     "scripts/apply-update.ps1", "package.json", "assets/tarnquill.ico",
                     "INSTALL_AND_RUN.cmd", "TARNQUILL-Setup.cmd", "main.js", "preload.js",
                     "config/update-public-key.pem"]
        with tempfile.TemporaryDirectory() as temp:
            zip_path = os.path.join(temp, "payload.zip")
            subprocess.run(["/usr/bin/python3", EXTRACT, EXE, zip_path], check=True)
            with zipfile.ZipFile(zip_path) as archive:
                top = f"TARNQUILL-v{VERSION}/"
                names = set(archive.namelist())
                self.assertEqual(archive.comment, b"")
                for info in archive.infolist():
                    self.assertFalse(info.is_dir(), info.filename)
                    self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED, info.filename)
                for member in relied_on:
                    self.assertIn(top + member, names)
                for folder in ["assets/", "config/", "src/"]:
                    self.assertTrue(any(n.startswith(top + folder) for n in names), folder)

    def test_checksum_file_beside_it_describes_its_bytes(self):
        with open(EXE, "rb") as exe:
            digest = hashlib.sha256(exe.read()).hexdigest()
        with open(EXE + ".sha256", "rb") as checksum:
            self.assertEqual(checksum.read(), f"{digest}  {os.path.basename(EXE)}\n".encode())

    def test_llvm_readobj_reads_the_same_facts(self):
        output = subprocess.run(
            [READOBJ, "--file-headers", "--coff-imports", "--coff-resources", "--sections", EXE],
            capture_output=True, text=True, check=True).stdout
        self.assertIn("Machine: IMAGE_FILE_MACHINE_AMD64 (0x8664)", output)
        self.assertIn("TimeDateStamp: 1970-01-01 00:00:00 (0x0)", output)
        self.assertIn("Subsystem: IMAGE_SUBSYSTEM_WINDOWS_GUI (0x2)", output)
        self.assertIn("MajorSubsystemVersion: 6", output)
        self.assertIn("MinorSubsystemVersion: 2", output)
        self.assertRegex(output, r"Characteristics \[ \(0x8160\)")
        entry = int(re.search(r"AddressOfEntryPoint: (0x[0-9A-Fa-f]+)", output).group(1), 16)
        text = re.search(r"Name: \.text .*?VirtualAddress: (0x[0-9A-Fa-f]+)", output, re.S)
        self.assertEqual(entry, int(text.group(1), 16))
        libraries = re.findall(r"Import \{\s*Name: (\S+)", output)
        self.assertEqual(libraries, ["KERNEL32.dll", "USER32.dll"])
        symbols = re.findall(r"Symbol: (\S+) \(0\)", output)
        self.assertEqual(sorted(symbols), sorted(KERNEL32 + USER32))
        for kind in ["(ID 3)", "(ID 10)", "(ID 14)", "(ID 16)", "(ID 24)"]:
            self.assertIn(kind, output)

    def test_import_definition_lists_name_the_functions_in_order(self):
        for file_name, library, functions in [("kernel32.def", "KERNEL32.dll", KERNEL32),
                                              ("user32.def", "USER32.dll", USER32)]:
            with open(os.path.join(ROOT, "installer", file_name), encoding="ascii") as listing:
                lines = listing.read().split()
            self.assertEqual(lines, ["LIBRARY", library, "EXPORTS"] + functions)


def sha256_entry(digest):
    return [{"alg": "SHA-256", "content": digest}]


def parsed_purl(purl):
    """type, namespace, name and version of the package URL as packageurl-js reads them."""
    script = ("const p = require(process.argv[1]).PackageURL.fromString(process.argv[2]);"
              "console.log(JSON.stringify([p.type, p.namespace ?? null, p.name, p.version]));")
    return json.loads(subprocess.run(["node", "-e", script, PACKAGEURL_JS, purl],
                                     capture_output=True, text=True, check=True).stdout)


def build_with_runtime_version(tree, version):
    """How many lines of runtime.ps1 were rewritten to pin another version in a copy of the
    tree, and the runtime component that the builder then describes."""
    for name in ["package.json", "assets/tarnquill.ico", "installer/bootstrap.cpp",
                 "installer/kernel32.def", "installer/user32.def", "scripts/runtime.ps1",
                 "release/bin/build-online"]:
        os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
    script = os.path.join(tree, "scripts", "runtime.ps1")
    with open(script, encoding="utf-8", newline="") as text:
        rewritten, lines = re.subn(r"(?m)^\$script:ElectronVersion = '[^']*'",
                                   f"$script:ElectronVersion = '{version}'", text.read())
    with open(script, "w", encoding="utf-8", newline="") as text:
        text.write(rewritten)
    env = dict(os.environ, PATH="/usr/lib/llvm-19/bin:" + os.environ.get("PATH", ""))
    built = subprocess.run([os.path.join(tree, "release", "bin", "build-online"), "--out",
                            "setup.exe"], cwd=tree, env=env, capture_output=True, text=True)
    if built.returncode != 0:
        raise AssertionError(built.stderr)
    with open(os.path.join(tree, "setup.exe.cdx.json"), encoding="utf-8") as document:
        (runtime,) = [c for c in json.load(document)["components"] if c["type"] != "file"]
    return lines, runtime


class BillOfMaterials(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(BOM, encoding="utf-8") as document:
            cls.bom = json.load(document)
        with open(EXE, "rb") as exe:
            cls.digest = hashlib.sha256(exe.read()).hexdigest()
        temp = tempfile.TemporaryDirectory(prefix="tarnquill-bom-")
        cls.addClassCleanup(temp.cleanup)
        cls.temp = temp.name
        cls.payload = os.path.join(cls.temp, "payload.zip")
        subprocess.run(["/usr/bin/python3", EXTRACT, EXE, cls.payload], check=True)
        (cls.runtime,) = [c for c in cls.bom["components"] if c["type"] != "file"]

    def test_validates_against_the_cyclonedx_1_6_schema(self):
        result = subprocess.run(["node", VALIDATE, BOM], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_names_the_setup_by_the_checksum_files_sha256_and_takes_its_serial_from_it(self):
        with open(EXE + ".sha256", encoding="utf-8") as checksum:
            self.assertEqual(checksum.read().split()[0], self.digest)
        setup = self.bom["metadata"]["component"]
        self.assertEqual((setup["type"], setup["name"], setup["version"]),
                         ("application", "TARNQUILL", VERSION))
        self.assertEqual(setup["hashes"], sha256_entry(self.digest))
        self.assertIn({"name": "tarnquill:file-name", "value": os.path.basename(EXE)},
                      setup["properties"])
        serial = uuid.uuid5(uuid.NAMESPACE_URL, "urn:sha256:" + self.digest)
        self.assertEqual(self.bom["serialNumber"], f"urn:uuid:{serial}")
        self.assertEqual(self.bom["dependencies"],
                         [{"ref": setup["bom-ref"], "dependsOn": [self.runtime["bom-ref"]]}])

    def test_the_maker_in_package_json_supplies_the_setup_and_wrote_the_document(self):
        with open(os.path.join(ROOT, "package.json"), encoding="utf-8") as package:
            package = json.load(package)
        setup = self.bom["metadata"]["component"]
        self.assertEqual(self.bom["metadata"]["authors"], [{"name": package["author"]}])
        self.assertEqual(setup["supplier"], {"name": package["author"]})
        self.assertEqual(package["license"], "SEE LICENSE IN TERMS_OF_USE.md")
        self.assertEqual(setup["licenses"], [{"license": {"name": package["license"],
                                                          "acknowledgement": "declared"}}])
        self.assertIn(f"TARNQUILL-v{VERSION}/TERMS_OF_USE.md",
                      [c["name"] for c in self.bom["components"]])

    def assert_names_electron(self, runtime, version):
        self.assertEqual(parsed_purl(runtime["purl"]), ["npm", None, "electron", version])
        self.assertTrue(CPE23.fullmatch(runtime["cpe"]), runtime["cpe"])
        self.assertEqual(runtime["cpe"].split(":")[2:],
                         ["a", "electronjs", "electron", version] + ["*"] * 7)
        self.assertEqual(runtime["supplier"], {"name": "The Electron project",
                                               "url": ["https://www.electronjs.org/"]})
        self.assertEqual(runtime["licenses"],
                         [{"license": {"id": "MIT", "acknowledgement": "declared"}}])

    def test_runtime_is_named_as_advisory_databases_name_the_pinned_electron(self):
        with open(os.path.join(ROOT, "scripts", "runtime.ps1"), encoding="utf-8") as script:
            pinned = re.search(r"^\$script:ElectronVersion = '([^']+)'", script.read(), re.M)
        self.assertEqual(self.runtime["version"], pinned.group(1))
        self.assert_names_electron(self.runtime, pinned.group(1))

    def test_purl_and_cpe_follow_the_pinned_version_when_it_changes(self):
        lines, runtime = build_with_runtime_version(os.path.join(self.temp, "tree"),
                                                    "44.0.0-beta.3")
        self.assertEqual(lines, 1)
        self.assert_names_electron(runtime, "44.0.0-beta.3")

    def test_lists_every_payload_member_in_archive_order_with_the_sha256_of_its_bytes(self):
        with zipfile.ZipFile(self.payload) as archive:
            expected = [{"type": "file", "name": info.filename,
                         "hashes": sha256_entry(hashlib.sha256(archive.read(info)).hexdigest())}
                        for info in archive.infolist()]
        files = [c for c in self.bom["components"] if c["type"] == "file"]
        self.assertEqual(files, expected)

    def test_runtime_is_the_one_install_ps1_shows_before_it_asks_for_consent(self):
        # The packed install script, run up to its question; non-interactive, it can go no further.
        with zipfile.ZipFile(self.payload) as archive:
            archive.extractall(self.temp)
        script = os.path.join(self.temp, f"TARNQUILL-v{VERSION}", "scripts", "install.ps1")
        env = {k: v for k, v in os.environ.items() if not k.startswith("TARNQUILL_SETUP")}
        for name in ["HOME", "LOCALAPPDATA", "TEMP", "TMP"]:
            env[name] = os.path.join(self.temp, name.lower())
            os.makedirs(env[name], exist_ok=True)
        env["NO_COLOR"] = "1"
        shown = subprocess.run([PWSH, "-NoLogo", "-NoProfile", "-NonInteractive", "-File", script],
                               env=env, stdin=subprocess.DEVNULL, capture_output=True,
                               text=True).stdout
        archive = re.search(r"^Download: (\S+) \(Windows x64 runtime\)$", shown, re.M)
        pin = re.search(r"^Expected runtime SHA-256: ([0-9a-f]{64})$", shown, re.M)
        sources = re.findall(r"^Source: (\S+)$", shown, re.M)
        self.assertTrue(archive and pin and len(sources) == 2, shown)
        runtime = self.runtime
        self.assertEqual(runtime["hashes"], sha256_entry(pin.group(1)))
        self.assertEqual([(r["type"], r["url"]) for r in runtime["externalReferences"]],
                         [("distribution", url) for url in sources])
        self.assertEqual(archive.group(1), f"electron-v{runtime['version']}-win32-x64.zip")
        self.assertEqual(runtime["properties"],
                         [{"name": "tarnquill:archive", "value": archive.group(1)},
                          {"name": "tarnquill:delivery", "value": "install-time-download"}])

    def test_tools_are_the_builder_and_the_compiler_and_linker_as_they_report_themselves(self):
        tools = self.bom["metadata"]["tools"]["components"]
        self.assertEqual([(t["name"], t["version"]) for t in tools][0], ("build-online", VERSION))
        for tool in tools[1:]:
            reported = subprocess.run([shutil.which(tool["name"]), "--version"],
                                      capture_output=True, text=True, check=True).stdout
            self.assertEqual(tool["description"], reported.splitlines()[0])
            self.assertIn(f" {tool['version']}", tool["description"])
        self.assertEqual([t["name"] for t in tools], ["build-online", "clang", "lld-link"])


def readme_exit_codes():
    """{code: [response names in its row]} for each row of the table under README.md's "Exit
    codes" heading whose first cell is a number."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        section = re.search(r"^#+ Exit codes[ \t]*$(.*?)(?=^#|\Z)", readme.read(), re.M | re.S)
    rows = {}
    for line in section.group(1).splitlines() if section else []:
        cells = [cell.strip(" `") for cell in line.strip().strip("|").split("|")]
        if line.lstrip().startswith("|") and cells[0].isdigit():
            rows[int(cells[0])] = [word for word in re.findall(r"\w+", " ".join(cells[1:]))
                                   if word in RETURN_RESPONSES]
    return rows


class PackageManagerManifest(unittest.TestCase):
    FILES = {"version": "TARNQUILL.TARNQUILL.yaml",
             "installer": "TARNQUILL.TARNQUILL.installer.yaml",
             "defaultLocale": "TARNQUILL.TARNQUILL.locale.en-US.yaml"}

    @classmethod
    def setUpClass(cls):
        cls.raw = {}
        for kind, name in cls.FILES.items():
            with open(os.path.join(WINGET, name), "rb") as file:
                cls.raw[kind] = file.read()
        cls.read = {kind: yaml.safe_load(raw) for kind, raw in cls.raw.items()}
        cls.installer = cls.read["installer"]

    def test_three_files_of_schema_1_28_0_for_this_release_with_line_feeds(self):
        self.assertEqual(sorted(os.listdir(WINGET)), sorted(self.FILES.values()))
        for kind, raw in self.raw.items():
            schema = f"https://aka.ms/winget-manifest.{kind}.1.28.0.schema.json"
            self.assertTrue(raw.startswith(f"# yaml-language-server: $schema={schema}\n".encode()))
            self.assertTrue(raw.endswith(b"\n") and b"\r" not in raw, kind)
            read = self.read[kind]
            self.assertEqual([read[key] for key in ["PackageIdentifier", "PackageVersion",
                                                    "ManifestType", "ManifestVersion"]],
                             ["TARNQUILL.TARNQUILL", VERSION, kind, "1.28.0"])
        self.assertEqual(self.read["version"]["DefaultLocale"],
                         self.read["defaultLocale"]["PackageLocale"])

    def test_publisher_name_licence_and_description_are_package_jsons(self):
        locale = self.read["defaultLocale"]
        self.assertEqual([locale[key] for key in ["Publisher", "PackageName", "License",
                                                  "ShortDescription"]],
                         [PACKAGE[key] for key in ["author", "productName", "license",
                                                   "description"]])

    def test_the_installer_is_this_setup_at_its_release_address(self):
        with open(EXE, "rb") as exe:
            digest = hashlib.sha256(exe.read()).hexdigest()
        (installer,) = self.installer["Installers"]
        address = PACKAGE["releaseDownloadUrl"].replace("{version}", VERSION)
        self.assertEqual(installer, {
            "Architecture": "x64", "InstallerSha256": digest.upper(),
            "InstallerUrl": address.replace("{file}", os.path.basename(EXE))})

    def test_expected_return_codes_are_the_readme_tables_with_their_outcomes(self):
        table = readme_exit_codes()
        self.assertIn(0, table)
        for code, responses in table.items():
            self.assertEqual(len(responses), int(code != 0), f"outcome of {code}: {responses}")
        self.assertEqual(
            sorted((r["InstallerReturnCode"], r["ReturnResponse"])
                   for r in self.installer["ExpectedReturnCodes"]),
            sorted((code, responses[0]) for code, responses in table.items() if code))

    def test_it_installs_for_the_user_unelevated_with_the_setups_switches(self):
        fields = ["InstallerType", "Scope", "InstallModes", "InstallerSwitches",
                  "UpgradeBehavior", "ElevationRequirement", "UnsupportedArguments"]
        self.assertEqual({field: self.installer[field] for field in fields}, {
            "InstallerType": "exe", "Scope": "user",
            "InstallModes": ["interactive", "silent", "silentWithProgress"],
            "InstallerSwitches": {"Silent": "/S", "SilentWithProgress": "/PASSIVE",
                                  "Log": '/LOG="<LOGPATH>"'},
            "UpgradeBehavior": "install", "ElevationRequirement": "elevationProhibited",
            "UnsupportedArguments": ["location"]})


if __name__ == "__main__":
    unittest.main(verbosity=2)
