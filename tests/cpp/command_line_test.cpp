// The build-online program itself, copied into <tree>/release/bin of temporary trees.
#include <gtest/gtest.h>

#include <set>

#include "command_line.h"
#include "run_process.h"
#include "test_tree.h"

namespace tarnquill {
namespace {

namespace fs = std::filesystem;

TEST(CommandLine, AcceptsBothOptionsInBothForms) {
    const std::vector<std::string> spaced = {"--out", "a.exe", "--work", "w"};
    auto parsed = parse_command_line(spaced);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed->out, "a.exe");
    EXPECT_EQ(parsed->work, "w");

    const std::vector<std::string> joined = {"--work=w=1", "--out=b.exe"};
    parsed = parse_command_line(joined);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed->out, "b.exe");
    EXPECT_EQ(parsed->work, "w=1");

    parsed = parse_command_line(std::vector<std::string>{});
    ASSERT_TRUE(parsed.ok());
    EXPECT_FALSE(parsed->out.has_value());
}

class RefusedCommandLine : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RefusedCommandLine, EndsWithTheUsageMessage) {
    auto parsed = parse_command_line(GetParam());
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().message.find("Usage: build-online"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, RefusedCommandLine,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"--out"},
                      std::vector<std::string>{"--out="},
                      std::vector<std::string>{"--out", "a", "--out", "b"},
                      std::vector<std::string>{"setup.exe"}, std::vector<std::string>{"--help"},
                      std::vector<std::string>{"--output=a"}, std::vector<std::string>{"-o", "a"}));

class BuilderProgram : public ::testing::Test {
  protected:
    test::TestTree tree;
    test::TestTree elsewhere; // the current directory of every run
    test::TestTree captures;  // standard output and error of every run

    void SetUp() override {
        fs::create_directories(tree / "release/bin");
        fs::copy_file(TARNQUILL_BUILD_ONLINE, tree / "release/bin/build-online");
    }

    test::ProcessResult run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), (tree / "release/bin/build-online").string());
        return test::run_process(arguments, elsewhere.root(), captures.root());
    }

    // Everything under the tree's release/ folder except the builder and the captured output.
    std::set<std::string> created() {
        std::set<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(tree / "release")) {
            paths.insert(entry.path().lexically_relative(tree.root()).generic_string());
        }
        paths.erase("release/bin");
        paths.erase("release/bin/build-online");
        return paths;
    }
};

class InvalidVersionText : public BuilderProgram,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(InvalidVersionText, StopsBeforeAnythingIsCreated) {
    tree.make_buildable(GetParam());
    const auto result = run({"--out", "x/setup.exe", "--work", "w"});
    EXPECT_NE(result.exit_status, 0);
    EXPECT_NE(result.err.find("Invalid version"), std::string::npos) << result.err;
    EXPECT_TRUE(created().empty());
    EXPECT_TRUE(fs::is_empty(elsewhere.root()));
}

INSTANTIATE_TEST_SUITE_P(Versions, InvalidVersionText,
                         ::testing::Values("1.2", "1.2.3.4", "1.2.3-beta"));

TEST_F(BuilderProgram, RefusesAnUnknownArgumentBeforeAnythingIsCreated) {
    tree.make_buildable("0.15.0");
    const auto result = run({"--work", "w", "--verbose"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("Usage: build-online"), std::string::npos);
    EXPECT_TRUE(created().empty());
    EXPECT_TRUE(fs::is_empty(elsewhere.root()));
}

TEST_F(BuilderProgram, RefusesABadSourceDateEpochBeforeAnythingIsCreated) {
    tree.make_buildable("0.15.0");
    for (const char* value : {"yesterday", "315532799"}) {
        setenv("SOURCE_DATE_EPOCH", value, 1);
        const auto result = run({"--out", "x/setup.exe", "--work", "w"});
        unsetenv("SOURCE_DATE_EPOCH");
        EXPECT_EQ(result.exit_status, 2) << value;
        EXPECT_NE(result.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("Nothing was built."), std::string::npos) << result.err;
        EXPECT_TRUE(created().empty());
        EXPECT_TRUE(fs::is_empty(elsewhere.root()));
    }
}

struct BrokenPin {
    const char* name;
    const char* line;        // the line of scripts/runtime.ps1 to replace
    const char* replacement; // what stands there instead ("" removes it)
    const char* message;
};

void PrintTo(const BrokenPin& broken, std::ostream* out) {
    *out << broken.name;
}

class RuntimeScriptWithoutThePin : public BuilderProgram,
                                   public ::testing::WithParamInterface<BrokenPin> {};

// The runtime values are read first, so that none of the three release files is written
// without them.
TEST_P(RuntimeScriptWithoutThePin, StopsBeforeAnythingIsCreated) {
    tree.make_buildable("0.15.0");
    auto script = test::read_text(tree / "scripts/runtime.ps1");
    const auto at = script.find(GetParam().line);
    ASSERT_NE(at, std::string::npos);
    const auto end = script.find('\n', at);
    script.replace(at, end - at, GetParam().replacement);
    tree.write("scripts/runtime.ps1", script);
    const auto result = run({"--out", "x/setup.exe", "--work", "w"});
    EXPECT_EQ(result.exit_status, 1);
    for (const auto& part :
         {(tree / "scripts/runtime.ps1").string(), std::string(GetParam().message),
          std::string("No setup executable was written.")}) {
        EXPECT_NE(result.err.find(part), std::string::npos) << part << " not in " << result.err;
    }
    EXPECT_TRUE(created().empty());
    EXPECT_TRUE(fs::is_empty(elsewhere.root()));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RuntimeScriptWithoutThePin,
    ::testing::Values(
        BrokenPin{"PinMissing", "$script:ElectronSha256 =", "",
                  "has no line that sets $script:ElectronSha256"},
        BrokenPin{"PinTwice", "$script:ElectronSha256 =",
                  "$script:ElectronSha256 = 'a'\n$script:ElectronSha256 = 'b'",
                  "sets $script:ElectronSha256 on 2 lines"},
        BrokenPin{"PinNotHex", "$script:ElectronSha256 =", "$script:ElectronSha256 = 'pinned'",
                  "not to 64 lower-case hexadecimal digits"},
        BrokenPin{"VersionDoubleQuoted",
                  "$script:ElectronVersion =", "$script:ElectronVersion = \"43.4.1\"",
                  "sets $script:ElectronVersion to \"43.4.1\", not to one single-quoted value"},
        BrokenPin{"VersionWithBuildSuffix",
                  "$script:ElectronVersion =", "$script:ElectronVersion = '43.4.1+win'",
                  "sets $script:ElectronVersion to '43.4.1+win', not to a version"},
        BrokenPin{"HostComposed", "$mirrorHost =", "    $mirrorHost = 'https://' + 'mirror'",
                  "sets $mirrorHost to 'https://' + 'mirror', not to one single-quoted value"}),
    [](const auto& info) { return std::string(info.param.name); });

struct UnfitListing {
    const char* name;
    const char* text;        // in the package.json members a build needs
    const char* replacement; // what stands there instead
    const char* message;
};

void PrintTo(const UnfitListing& unfit, std::ostream* out) {
    *out << unfit.name;
}

class PackageJsonUnfitForTheManifest : public BuilderProgram,
                                       public ::testing::WithParamInterface<UnfitListing> {};

// The manifest's texts and address are read and checked first, so that no release file is
// written when the manifest could not be.
TEST_P(PackageJsonUnfitForTheManifest, StopsBeforeAnythingIsCreated) {
    tree.make_buildable("0.15.0");
    auto members = test::TestTree::listing_members();
    const auto at = members.find(GetParam().text);
    ASSERT_NE(at, std::string::npos);
    members.replace(at, std::string_view(GetParam().text).size(), GetParam().replacement);
    tree.write("package.json", "{\"version\": \"0.15.0\", " + members + "}");
    const auto result = run({"--out", "x/setup.exe", "--work", "w"});
    EXPECT_EQ(result.exit_status, 1);
    for (const auto& part : {(tree / "package.json").string(), std::string(GetParam().message),
                             std::string("No setup executable was written.")}) {
        EXPECT_NE(result.err.find(part), std::string::npos) << part << " not in " << result.err;
    }
    EXPECT_TRUE(created().empty());
    EXPECT_TRUE(fs::is_empty(elsewhere.root()));
}

INSTANTIATE_TEST_SUITE_P(
    Members, PackageJsonUnfitForTheManifest,
    ::testing::Values(
        UnfitListing{"NoDescription", "\"description\": \"Diagnostics.\",", "",
                     "a ShortDescription of 3 to 256 characters, which it takes from the "
                     "\"description\" member of "},
        UnfitListing{"OneLetterName", "\"productName\": \"TARNQUILL\"", "\"productName\": \"T\"",
                     "a PackageName of 2 to 256 characters, which it takes from the "
                     "\"productName\" member of "},
        UnfitListing{"NoAddress", "\"releaseDownloadUrl\"", "\"downloadUrl\"",
                     "The \"releaseDownloadUrl\" member of "},
        UnfitListing{"PlainHttp", "https://", "http://", "is not an https:// address"},
        UnfitListing{"NoFileName", "/{file}", "/setup.exe", "has no {file}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BuilderProgram, ReportsAPackageJsonThatIsNotJson) {
    tree.make_buildable("0.15.0");
    tree.write("package.json", "{ \"version\": ");
    const auto result = run({});
    EXPECT_NE(result.exit_status, 0);
    EXPECT_NE(result.err.find("package.json"), std::string::npos) << result.err;
    EXPECT_TRUE(created().empty());
}

TEST_F(BuilderProgram, ReportsAMissingPackageJsonWithTheSystemsReason) {
    const auto result = run({"--out", "x.exe"});
    EXPECT_NE(result.exit_status, 0);
    EXPECT_NE(result.err.find("package.json: No such file or directory"), std::string::npos)
        << result.err;
    EXPECT_TRUE(created().empty());
    EXPECT_TRUE(fs::is_empty(elsewhere.root()));
}

TEST_F(BuilderProgram, ReportsAVersionThatIsNotAText) {
    tree.make_buildable("0.15.0");
    tree.write("package.json", "{ \"version\": 15 }");
    const auto result = run({});
    EXPECT_NE(result.exit_status, 0);
    EXPECT_NE(result.err.find("is not a text"), std::string::npos) << result.err;
    EXPECT_TRUE(created().empty());
}

TEST_F(BuilderProgram, ReportsAnAuthorThatNamesNoOne) {
    tree.make_buildable("0.15.0");
    tree.write("package.json", R"({ "version": "0.15.0", "author": { "email": "a@b.example" } })");
    const auto result = run({});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("The \"author\" member of"), std::string::npos) << result.err;
    EXPECT_TRUE(created().empty());
}

TEST_F(BuilderProgram, WritesTheDefaultsUnderTheTreeWhateverTheCurrentDirectory) {
    tree.make_buildable("01.2.3");
    const auto result = run({});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto out = tree / "release/TARNQUILL-Setup-01.2.3-online.exe";
    EXPECT_TRUE(fs::is_regular_file(out));
    EXPECT_TRUE(fs::is_regular_file(tree / "release/TARNQUILL-Setup-01.2.3-online.exe.sha256"));
    EXPECT_TRUE(fs::is_regular_file(tree / "release/build/setup.res"));
    EXPECT_TRUE(fs::is_empty(elsewhere.root()));
    EXPECT_EQ(result.out.rfind("Built unsigned x64 ONLINE installer: " + out.string() + "\n", 0),
              0u)
        << result.out;
    const auto digest = test::read_text(out.string() + ".sha256").substr(0, 64);
    EXPECT_NE(result.out.find("\nSHA256 " + digest + "\n"), std::string::npos);
}

TEST_F(BuilderProgram, TakesRelativePathsFromTheCurrentDirectoryAndShowsThemAsGiven) {
    tree.make_buildable("0.15.0");
    const auto result = run({"--out=made/setup.exe", "--work", "work"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(fs::is_regular_file(elsewhere / "made/setup.exe"));
    EXPECT_TRUE(fs::is_regular_file(elsewhere / "made/setup.exe.sha256"));
    EXPECT_TRUE(fs::is_regular_file(elsewhere / "work/bootstrap.obj"));
    EXPECT_EQ(result.out.rfind("Built unsigned x64 ONLINE installer: made/setup.exe\n", 0), 0u);
    const auto size = fs::file_size(elsewhere / "made/setup.exe");
    EXPECT_NE(result.out.find("\n" + std::to_string(size) + " bytes; embedded source ZIP "),
              std::string::npos);
}

} // namespace
} // namespace tarnquill
