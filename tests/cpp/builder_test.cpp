// Complete builds on temporary trees with the real compiler and linker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include <sys/stat.h>

#include "builder.h"
#include "checksum.h"
#include "payload.h"
#include "test_tree.h"
#include "toolchain.h"
#include "zip_reader.h"

namespace tarnquill {
namespace {

namespace fs = std::filesystem;

std::string environment_path() {
    const char* path = std::getenv("PATH");
    return path != nullptr ? path : "";
}

std::set<std::string> folder_names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class TreeBuild : public ::testing::Test {
  protected:
    test::TestTree tree;
    BuildRequest request;

    void SetUp() override {
        tree.make_buildable("0.15.0");
        tree.write("src/app.js", "console.log('hello');\n");
        request.root = tree.root();
        request.version = *parse_release_version("0.15.0");
        request.out = tree / "out/setup.bin";
        request.work = tree / "release/build";
        request.out_display = "out/setup.bin";
        request.search_path = environment_path();
        request.fallback_tools_folder = llvm_fallback_folder;
    }

    // A linker that links for real and then damages the image with a Python statement.
    void use_damaging_linker(const std::string& python_damage) {
        auto real = find_toolchain(request.search_path, request.fallback_tools_folder);
        ASSERT_TRUE(real.ok());
        const auto damage =
            tree.write("tools-fake/damage.py", "import sys\npath = sys.argv[1]\n"
                                               "d = bytearray(open(path, 'rb').read())\n" +
                                                   python_damage + "\nopen(path, 'wb').write(d)\n");
        const auto script =
            tree.write("tools-fake/lld-link",
                       "#!/bin/sh\n\"" + real->linker.string() + "\" \"$@\" || exit $?\n" +
                           "for a in \"$@\"; do case \"$a\" in --version | /out:*.lib) exit 0;; "
                           "/out:*) out=${a#/out:};; "
                           "esac; done\nexec /usr/bin/python3 \"" +
                           damage.string() + "\" \"$out\"\n");
        fs::permissions(script, fs::perms::owner_all);
        request.search_path = (tree / "tools-fake").string() + ":" + request.search_path;
    }
};

TEST_F(TreeBuild, WritesTheExecutableTheChecksumFileAndTheFiveBuildFiles) {
    auto summary = build_setup(request);
    ASSERT_TRUE(summary.ok()) << summary.error().message;

    const auto image = test::read_bytes(request.out);
    EXPECT_EQ(summary->file_size, image.size());
    EXPECT_EQ(summary->digest, *sha256_hex(image));
    EXPECT_EQ(folder_names(request.work),
              (std::set<std::string>{"setup.res", "kernel32.lib", "user32.lib", "bootstrap.cpp",
                                     "bootstrap.obj"}));

    // setup.bin gets setup.exe.sha256 and setup.exe.cdx.json; the line inside names the real file.
    EXPECT_EQ(folder_names(tree / "out"), (std::set<std::string>{"setup.bin", "setup.exe.sha256",
                                                                 "setup.exe.cdx.json", "winget"}));
    EXPECT_EQ(
        folder_names(tree / "out/winget/TARNQUILL.TARNQUILL/0.15.0"),
        (std::set<std::string>{"TARNQUILL.TARNQUILL.yaml", "TARNQUILL.TARNQUILL.installer.yaml",
                               "TARNQUILL.TARNQUILL.locale.en-US.yaml"}));
    EXPECT_EQ(test::read_text(tree / "out/setup.exe.sha256"), summary->digest + "  setup.bin\n");

    // The version record keeps the default file name whatever --out says.
    const auto res = test::read_text(request.work / "setup.res");
    std::string original_name;
    for (char c : std::string("TARNQUILL-Setup-0.15.0-online.exe")) {
        original_name += c;
        original_name += '\0';
    }
    EXPECT_NE(res.find(original_name), std::string::npos);

    EXPECT_EQ(summary_text(*summary),
              "Built unsigned x64 ONLINE installer: out/setup.bin\n" +
                  std::to_string(image.size()) + " bytes; embedded source ZIP " +
                  std::to_string(summary->payload_size) + " bytes\nSHA256 " + summary->digest +
                  "\nBill of materials (CycloneDX 1.6): out/setup.exe.cdx.json\n"
                  "Package manager manifest (winget 1.28.0): out/winget/TARNQUILL.TARNQUILL/"
                  "0.15.0\n");
}

TEST_F(TreeBuild, NamesTheMakerWithoutTheAddressAndHomePageOfNpmsAuthorText) {
    tree.write(
        "package.json",
        R"x({"version": "0.15.0", "author": "Dev Team <dev@example.com> (https://dev.example)",
                    "license": "MIT", "productName": "Dev Tool", "description": "A tool.",
                    "releaseDownloadUrl": "https://example.test/{file}"})x");
    ASSERT_TRUE(build_setup(request).ok());
    // The document's author, and the setup's supplier after the runtime's.
    const auto bom = test::read_text(tree / "out/setup.exe.cdx.json");
    const std::string name = "\"name\": \"Dev Team\"\n";
    EXPECT_NE(bom.find(name, bom.find("\"authors\"")), std::string::npos) << bom;
    EXPECT_NE(bom.find(name, bom.rfind("\"supplier\"")), std::string::npos) << bom;
    EXPECT_EQ(bom.find("dev@example.com"), std::string::npos) << bom;
    // The manifest's publisher too.
    const auto locale = test::read_text(
        tree / "out/winget/TARNQUILL.TARNQUILL/0.15.0/TARNQUILL.TARNQUILL.locale.en-US.yaml");
    EXPECT_NE(locale.find("\nPublisher: Dev Team\n"), std::string::npos) << locale;
}

TEST_F(TreeBuild, PreparesTheBootstrapWhileThePackedSourceKeepsItsPlaceholders) {
    auto summary = build_setup(request);
    ASSERT_TRUE(summary.ok()) << summary.error().message;
    const auto original = test::read_text(tree / "installer/bootstrap.cpp");
    const auto prepared = test::read_text(request.work / "bootstrap.cpp");
    ASSERT_NE(original.find("@VERSION@"), std::string::npos);
    EXPECT_EQ(prepared.find("@VERSION@"), std::string::npos);
    EXPECT_NE(prepared.find("TARNQUILL-v0.15.0"), std::string::npos);

    auto payload = make_payload(tree.root(), "0.15.0");
    ASSERT_TRUE(payload.ok());
    auto contents = read_zip(payload->archive);
    ASSERT_TRUE(contents.ok());
    const auto& packed = contents->at("TARNQUILL-v0.15.0/installer/bootstrap.cpp");
    EXPECT_EQ(std::string(packed.begin(), packed.end()), original);
    EXPECT_TRUE(contents->contains("TARNQUILL-v0.15.0/installer/kernel32.def"));
    EXPECT_TRUE(contents->contains("TARNQUILL-v0.15.0/installer/user32.def"));
}

TEST_F(TreeBuild, TwoRunsGiveTheSameBytes) {
    request.out = tree / "release/setup.exe"; // outside release/ it would be packed next time
    auto first = build_setup(request);
    ASSERT_TRUE(first.ok()) << first.error().message;
    auto second = build_setup(request);
    ASSERT_TRUE(second.ok()) << second.error().message;
    EXPECT_EQ(first->digest, second->digest);
}

struct LinkDamage {
    const char* name;
    const char* python;
    const char* message;
};

void PrintTo(const LinkDamage& damage, std::ostream* out) {
    *out << damage.name;
}

class DamagedLink : public TreeBuild, public ::testing::WithParamInterface<LinkDamage> {};

TEST_P(DamagedLink, FailsVerificationAndWritesNoChecksumFile) {
    use_damaging_linker(GetParam().python);
    auto summary = build_setup(request);
    ASSERT_FALSE(summary.ok());
    EXPECT_NE(summary.error().message.find(GetParam().message), std::string::npos)
        << summary.error().message;
    EXPECT_TRUE(fs::exists(request.out));
    EXPECT_FALSE(fs::exists(tree / "out/setup.exe.sha256"));
    EXPECT_FALSE(fs::exists(tree / "out/setup.exe.cdx.json"));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, DamagedLink,
    ::testing::Values(LinkDamage{"NoMz", "d[0:2]=b'XX'", "does not begin with \"MZ\""},
                      LinkDamage{
                          "WrongMachine",
                          "o=int.from_bytes(d[0x3c:0x40],'little')\nd[o+4:o+6]=(0x14c).to_bytes(2,"
                          "'little')",
                          "not an x64 image"},
                      LinkDamage{"PayloadNotFound", "i=d.find(b'PK\\x03\\x04')\nd[i+200]^=0xff",
                                 "Embedded ZIP did not survive linking"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TreeBuild, WithoutCompilerAndLinkerStopsAfterCreatingTheFolders) {
    request.search_path = (tree / "no-tools").string();
    request.fallback_tools_folder = tree / "no-tools";
    auto summary = build_setup(request);
    ASSERT_FALSE(summary.ok());
    EXPECT_NE(summary.error().message.find("Install LLVM"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(request.work));
    EXPECT_TRUE(fs::is_directory(tree / "out"));
    EXPECT_TRUE(fs::is_empty(request.work));
}

TEST_F(TreeBuild, ACursorFileAsIconStopsBeforeSetupResIsReplaced) {
    tree.write_bytes("assets/tarnquill.ico", {0, 0, 2, 0, 0, 0});
    tree.write("release/build/setup.res", "earlier run");
    auto summary = build_setup(request);
    ASSERT_FALSE(summary.ok());
    EXPECT_NE(summary.error().message.find("Not an ICO file"), std::string::npos);
    EXPECT_EQ(test::read_text(request.work / "setup.res"), "earlier run");
    EXPECT_FALSE(fs::exists(request.out));
}

TEST_F(TreeBuild, AFileDatedBefore1980StopsBeforeSetupResIsWritten) {
    const auto old = tree.write("docs/old.txt", "old");
    test::TestTree::set_modified(old, 315000000); // December 1979
    auto summary = build_setup(request);
    ASSERT_FALSE(summary.ok());
    EXPECT_NE(summary.error().message.find("docs/old.txt"), std::string::npos);
    EXPECT_FALSE(fs::exists(request.work / "setup.res"));
}

TEST_F(TreeBuild, ACompilerErrorStopsTheBuildBeforeTheLink) {
    tree.write("installer/bootstrap.cpp", "this is not C++\n");
    auto summary = build_setup(request);
    ASSERT_FALSE(summary.ok());
    EXPECT_NE(summary.error().message.find("clang"), std::string::npos);
    EXPECT_FALSE(fs::exists(request.out));
    EXPECT_FALSE(fs::exists(request.work / "bootstrap.obj"));
}

TEST(TreeBuildAtAnAwkwardPath, WorksWhenTheTreePathHoldsSpacesQuotesAndAnAtSign) {
    test::TestTree tree("@tree with spaces, 'quotes' and \"double\" ones");
    tree.make_buildable("0.15.0");
    BuildRequest request;
    request.root = tree.root();
    request.version = *parse_release_version("0.15.0");
    request.out = tree / "release/out dir/TARNQUILL Setup.exe";
    request.work = tree / "release/work dir";
    request.out_display = request.out.string();
    request.search_path = environment_path();
    request.fallback_tools_folder = llvm_fallback_folder;
    auto summary = build_setup(request);
    ASSERT_TRUE(summary.ok()) << summary.error().message;
    EXPECT_EQ(test::read_text(tree / "release/out dir/TARNQUILL Setup.exe.sha256"),
              summary->digest + "  TARNQUILL Setup.exe\n");
    // The address of the file as published: its name percent-encoded into the template.
    const auto installer = test::read_text(
        tree /
        "release/out dir/winget/TARNQUILL.TARNQUILL/0.15.0/TARNQUILL.TARNQUILL.installer.yaml");
    EXPECT_NE(
        installer.find("\n  InstallerUrl: 'https://example.test/v0.15.0/TARNQUILL%20Setup.exe'\n"),
        std::string::npos)
        << installer;
}

TEST(ChecksumPath, ReplacesTheExtensionOrAppendsWhereThereIsNone) {
    EXPECT_EQ(checksum_path("/r/TARNQUILL-Setup-0.15.0-online.exe"),
              "/r/TARNQUILL-Setup-0.15.0-online.exe.sha256");
    EXPECT_EQ(checksum_path("out/setup.bin"), "out/setup.exe.sha256");
    EXPECT_EQ(checksum_path("out/setup"), "out/setup.exe.sha256");
    EXPECT_EQ(checksum_path("out/.setup"), "out/.setup.exe.sha256");
}

TEST(ProgramLookup, PrefersTheSearchPathThenTheFallbackFolder) {
    test::TestTree tree;
    const auto first = tree.write("a/clang", "#!/bin/sh\n");
    const auto second = tree.write("b/clang", "#!/bin/sh\n");
    const auto not_executable = tree.write("c/clang", "#!/bin/sh\n");
    fs::permissions(first, fs::perms::owner_all);
    fs::permissions(second, fs::perms::owner_all);
    const auto search = (tree / "c").string() + "::" + (tree / "a").string();
    EXPECT_EQ(find_program("clang", search, tree / "b"), first);
    EXPECT_EQ(find_program("clang", (tree / "c").string(), tree / "b"), second);
    EXPECT_EQ(find_program("clang", "", tree / "c"), std::nullopt);
}

} // namespace
} // namespace tarnquill
