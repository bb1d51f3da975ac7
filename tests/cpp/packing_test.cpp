#include <gtest/gtest.h>

#include <algorithm>

#include "packing.h"
#include "test_tree.h"

namespace tarnquill {
namespace {

struct PackingCase {
    const char* path;
    bool packed;
};

void PrintTo(const PackingCase& c, std::ostream* out) {
    *out << c.path << (c.packed ? " packed" : " left out");
}

class PackingRule : public ::testing::TestWithParam<PackingCase> {};

TEST_P(PackingRule, DecidesWhetherTheFileIsPacked) {
    EXPECT_EQ(is_packed_path(GetParam().path), GetParam().packed) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    ExcludedNamesAsWholeComponentsAtAnyDepth, PackingRule,
    ::testing::Values(PackingCase{"node_modules/pkg/index.js", false},
                      PackingCase{"src/node_modules/x.js", false},
                      PackingCase{".git/config", false}, PackingCase{"a/b/.runtime/x.zip", false},
                      PackingCase{".tarnquill-secrets", false},
                      PackingCase{"release/TARNQUILL-Setup.exe.sha256", false},
                      PackingCase{"docs/dist/index.html", false},
                      PackingCase{"src/data/sample.json", false}, PackingCase{"data", false},
                      PackingCase{"src/__pycache__/m.pyc", false},
                      PackingCase{"releases/notes.txt", true}, PackingCase{"src/database.js", true},
                      PackingCase{"data.json", true}, PackingCase{"Data/file.txt", true},
                      PackingCase{"my-release/x", true}));

INSTANTIATE_TEST_SUITE_P(
    ExcludedExtensionsCaseSensitively, PackingRule,
    ::testing::Values(PackingCase{"bin/app.exe", false}, PackingCase{"a.obj", false},
                      PackingCase{"k.lib", false}, PackingCase{"setup.res", false},
                      PackingCase{"k.exp", false}, PackingCase{"install.log", false},
                      PackingCase{"x.bundle", false}, PackingCase{"fix.patch", false},
                      PackingCase{"cert.pfx", false}, PackingCase{"cert.p12", false},
                      PackingCase{"tool.EXE", true}, PackingCase{"tool.Exe", true},
                      PackingCase{"app.exe.txt", true}, PackingCase{"exe", true},
                      PackingCase{".exe", true}, PackingCase{"installer.log.txt", true}));

INSTANTIATE_TEST_SUITE_P(
    EnvironmentAndKeyFiles, PackingRule,
    ::testing::Values(
        PackingCase{".env", false}, PackingCase{".env.local", false}, PackingCase{".envrc", false},
        PackingCase{"config/.env.production", false}, PackingCase{".env/settings.json", true},
        PackingCase{"env.txt", true}, PackingCase{"config/update-public-key.pem", true},
        PackingCase{"config/other.pem", false}, PackingCase{"config/update-public-key.key", false},
        PackingCase{"server.key", false}, PackingCase{"src/config/update-public-key.pem", false},
        PackingCase{"Config/update-public-key.pem", false}, PackingCase{"notes.PEM", true},
        PackingCase{".gitignore", true}, PackingCase{".pem", true}));

TEST(FileExtension, StartsAtTheLastDotUnlessThatDotLeadsTheName) {
    EXPECT_EQ(file_extension("archive.tar.gz"), ".gz");
    EXPECT_EQ(file_extension(".gitignore"), "");
    EXPECT_EQ(file_extension("README"), "");
    EXPECT_EQ(file_extension("name."), ".");
    EXPECT_EQ(file_extension(".env.local"), ".local");
}

TEST(PackingOrder, ComparesComponentByComponentByCodePoint) {
    std::vector<std::string> paths = {"b",     "a.txt", "a-b",   "a/b",  "B",
                                      "a/B/c", "a",     "é.txt", "z.txt"};
    std::sort(paths.begin(), paths.end(), path_precedes);
    const std::vector<std::string> expected = {"B",     "a", "a/B/c", "a/b",  "a-b",
                                               "a.txt", "b", "z.txt", "é.txt"};
    EXPECT_EQ(paths, expected);
}

class PackedFilesOfATree : public ::testing::Test {
  protected:
    test::TestTree tree;

    std::vector<std::string> listed() {
        auto files = list_packed_files(tree.root());
        EXPECT_TRUE(files.ok()) << (files.ok() ? "" : files.error().message);
        std::vector<std::string> paths;
        if (files) {
            for (const auto& file : *files) {
                paths.push_back(file.relative_path);
                EXPECT_EQ(file.absolute_path, tree.root() / file.relative_path);
            }
        }
        return paths;
    }
};

TEST_F(PackedFilesOfATree, HoldsOnlyPackedRegularFilesInPackingOrder) {
    for (const char* path :
         {"a.txt", "a/b", "Zeta.md", "package.json", ".gitignore", ".env", "a/.env/inside.txt",
          "src/data/skipped.json", "src/database.js", "releases/keep.txt", "release/setup.exe",
          "release/deep/notes.md", "node_modules/m/index.js", "deep/x/y/__pycache__/c.pyc",
          "config/update-public-key.pem", "config/private.pem", "tool.EXE", "tool.exe",
          "empty-folder-sibling.txt"}) {
        tree.write(path, "x");
    }
    std::filesystem::create_directories(tree / "empty-folder");
    const std::vector<std::string> expected = {".gitignore",
                                               "Zeta.md",
                                               "a/.env/inside.txt",
                                               "a/b",
                                               "a.txt",
                                               "config/update-public-key.pem",
                                               "empty-folder-sibling.txt",
                                               "package.json",
                                               "releases/keep.txt",
                                               "src/database.js",
                                               "tool.EXE"};
    EXPECT_EQ(listed(), expected);
}

TEST_F(PackedFilesOfATree, CountsALinkToAFileAsThatFileAndDoesNotFollowFolderLinks) {
    tree.write("real/target.txt", "content");
    std::filesystem::create_symlink("real/target.txt", tree / "link.txt");
    std::filesystem::create_directory_symlink("real", tree / "folder-link");
    std::filesystem::create_symlink("missing.txt", tree / "dangling.txt");
    const std::vector<std::string> expected = {"link.txt", "real/target.txt"};
    EXPECT_EQ(listed(), expected);
}

TEST(PackedFilesOfAMissingTree, FailNamingTheFolder) {
    auto files = list_packed_files("/nonexistent/tarnquill-tree");
    ASSERT_FALSE(files.ok());
    EXPECT_NE(files.error().message.find("/nonexistent/tarnquill-tree"), std::string::npos);
}

} // namespace
} // namespace tarnquill
