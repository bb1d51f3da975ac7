#include "winget_manifest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <string_view>

namespace tarnquill {
namespace {

constexpr std::string_view package_identifier = "TARNQUILL.TARNQUILL";
constexpr std::string_view manifest_version = "1.28.0";
constexpr std::string_view package_locale = "en-US";

// What an installation writes, as scripts/install.ps1 writes it: the uninstall key
// HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL, whose name the package
// manager takes as the product code, its DisplayName and Publisher (DisplayVersion is the release
// version), and the installation root in the running account's %LOCALAPPDATA%, which holds the
// version folders that the key's InstallLocation names.
struct InstalledEntry {
    std::string_view product_code;
    std::string_view display_name;
    std::string_view publisher;
    std::string_view install_root;
};
constexpr InstalledEntry installed_entry = {"TARNQUILL", "TARNQUILL", "TARNQUILL",
                                            "%LOCALAPPDATA%\\TARNQUILL"};

struct ExpectedReturnCode {
    std::uint32_t code;
    std::string_view response; // ReturnResponse of the schema
};

// The setup's non-zero exit codes, as the table under "Installing" in README.md lists them, the
// same in every mode. The schema has no response for a general failure: 1603 gets contactSupport,
// the response for an installer error that the package manager cannot name more closely; the
// setup's own message and the /LOG file say what happened.
constexpr std::array<ExpectedReturnCode, 8> expected_return_codes = {{
    {1602, "cancelledByUser"},
    {1618, "installInProgress"},
    {15618, "packageInUse"},
    {112, "diskFull"},
    {1231, "noNetwork"},
    {1625, "blockedByPolicy"},
    {87, "invalidParameter"},
    {1603, "contactSupport"},
}};

std::size_t code_points(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The code point that starts at `at` in valid UTF-8, and advances `at` past it.
char32_t next_code_point(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    const int length = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t point = length == 0 ? lead : lead & (0x3F >> length);
    for (int i = 0; i < length && at < text.size(); ++i) {
        point = (point << 6) | (static_cast<unsigned char>(text[at++]) & 0x3F);
    }
    return point;
}

// Characters that a quoted YAML scalar cannot carry as they are: control characters, which
// readers refuse or fold, and the Unicode line and paragraph separators, which YAML 1.1 readers
// take as line breaks.
bool needs_escape(char32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
           point == 0xFFFE || point == 0xFFFF;
}

bool reserved_word(std::string_view text) {
    static constexpr std::array<std::string_view, 10> words = {"y",   "n",    "yes",   "no",   "on",
                                                               "off", "true", "false", "null", "~"};
    return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
        return std::equal(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
        });
    });
}

// Three or more runs of digits joined by dots, such as a release or manifest version: the YAML
// readers in use (libyaml's, PyYAML, js-yaml, go-yaml) take no number with two dots, and manifest
// repositories write versions plain.
bool dotted_version(std::string_view text) {
    return std::count(text.begin(), text.end(), '.') >= 2 && text.front() != '.' &&
           text.back() != '.' && text.find("..") == std::string_view::npos &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return c == '.' || std::isdigit(static_cast<unsigned char>(c));
           });
}

// Plain where every YAML reader takes the text as this same text: it begins with a letter or a
// slash, holds only letters, digits, spaces and ._/()+,- (so no ": ", " #" or quote), does not
// end in a space and is no boolean or null word of YAML 1.1; or it is a dotted version.
bool plain_safe(std::string_view text) {
    const auto ordinary = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == ' ' ||
               std::string_view("._/()+,-").find(c) != std::string_view::npos;
    };
    if (text.empty()) {
        return false;
    }
    if (dotted_version(text)) {
        return true;
    }
    return (std::isalpha(static_cast<unsigned char>(text.front())) || text.front() == '/') &&
           text.back() != ' ' && std::all_of(text.begin(), text.end(), ordinary) &&
           !reserved_word(text);
}

std::string single_quoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? "''" : std::string(1, c);
    }
    return quoted + "'";
}

std::string double_quoted(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto start = at;
        const auto point = next_code_point(text, at);
        if (point == '"' || point == '\\') {
            quoted += {'\\', static_cast<char>(point)};
        } else if (needs_escape(point)) {
            quoted += point <= 0xFF ? "\\x" : "\\u";
            for (int shift = point <= 0xFF ? 4 : 12; shift >= 0; shift -= 4) {
                quoted += hex[(point >> shift) & 0xF];
            }
        } else {
            quoted.append(text.substr(start, at - start));
        }
    }
    return quoted + "\"";
}

// A text as a YAML scalar: plain where that is safe, else single-quoted, which keeps backslashes
// and double quotes as they are, else double-quoted with escapes.
std::string scalar(std::string_view text) {
    if (plain_safe(text)) {
        return std::string(text);
    }
    for (std::size_t at = 0; at < text.size();) {
        if (needs_escape(next_code_point(text, at))) {
            return double_quoted(text);
        }
    }
    return single_quoted(text);
}

// One manifest file: the schema comment, then its lines, each "<prefix><key>: <value>" or, where a
// list or a mapping follows, "<prefix><key>:".
class ManifestText {
  public:
    explicit ManifestText(std::string_view manifest_type) {
        text_.append("# yaml-language-server: $schema=https://aka.ms/winget-manifest.")
            .append(manifest_type)
            .append(".")
            .append(manifest_version)
            .append(".schema.json\n\n");
    }

    ManifestText& field(std::string_view prefix, std::string_view key, std::string_view value) {
        return line(prefix, key, ": " + scalar(value));
    }
    ManifestText& number(std::string_view prefix, std::string_view key, std::uint32_t value) {
        return line(prefix, key, ": " + std::to_string(value));
    }
    ManifestText& quoted(std::string_view prefix, std::string_view key, std::string_view value) {
        return line(prefix, key, ": " + single_quoted(value));
    }
    ManifestText& section(std::string_view prefix, std::string_view key) {
        return line(prefix, key, ":");
    }
    ManifestText& item(std::string_view value) { return line("- ", scalar(value), ""); }

    ManifestText& identity(const WingetRelease& release) {
        return field("", "PackageIdentifier", package_identifier)
            .field("", "PackageVersion", release.version);
    }

    std::string end(std::string_view manifest_type) {
        field("", "ManifestType", manifest_type).field("", "ManifestVersion", manifest_version);
        return std::move(text_);
    }

  private:
    ManifestText& line(std::string_view prefix, std::string_view key, std::string_view rest) {
        text_.append(prefix).append(key).append(rest) += '\n';
        return *this;
    }

    std::string text_;
};

std::string version_file(const WingetRelease& release) {
    return ManifestText("version")
        .identity(release)
        .field("", "DefaultLocale", package_locale)
        .end("version");
}

std::string installer_file(const WingetRelease& release) {
    std::string digest = release.installer_sha256;
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    ManifestText text("installer");
    text.identity(release)
        .field("", "InstallerType", "exe")
        .field("", "Scope", "user")
        .section("", "InstallModes")
        .item("interactive")
        .item("silent")
        .item("silentWithProgress")
        .section("", "InstallerSwitches")
        .field("  ", "Silent", "/S")
        .field("  ", "SilentWithProgress", "/PASSIVE")
        .field("  ", "Log", "/LOG=\"<LOGPATH>\"")
        // A newer version installs beside the older one, which the setup's retention keeps or
        // removes; uninstalling first would only lose the older version's folder as a fallback.
        .field("", "UpgradeBehavior", "install")
        // The setup's manifest requests asInvoker, and it installs for the account that runs it:
        // into that account's %LOCALAPPDATA% and HKCU. Run elevated, it would install for the
        // elevated token's account, with over-the-shoulder elevation an administrator's, where
        // the user who asked never sees TARNQUILL (the reason it refuses to run as LocalSystem).
        // So the package manager must not start it elevated.
        .field("", "ElevationRequirement", "elevationProhibited")
        .section("", "ExpectedReturnCodes");
    for (const auto& expected : expected_return_codes) {
        text.number("- ", "InstallerReturnCode", expected.code)
            .field("  ", "ReturnResponse", expected.response);
    }
    text.field("", "ProductCode", installed_entry.product_code)
        .section("", "AppsAndFeaturesEntries")
        .field("- ", "DisplayName", installed_entry.display_name)
        .field("  ", "Publisher", installed_entry.publisher)
        .field("  ", "DisplayVersion", release.version)
        .field("  ", "ProductCode", installed_entry.product_code)
        // The setup always installs into its installation root and takes no location switch.
        .section("", "UnsupportedArguments")
        .item("location")
        .section("", "InstallationMetadata")
        .field("  ", "DefaultInstallLocation", installed_entry.install_root)
        .section("", "Installers")
        .field("- ", "Architecture", "x64")
        .field("  ", "InstallerUrl", release.installer_url)
        // Always quoted, so that tools/sign-setup.sh finds and rewrites one fixed form of line.
        .quoted("  ", "InstallerSha256", digest);
    return text.end("installer");
}

std::string default_locale_file(const WingetRelease& release) {
    return ManifestText("defaultLocale")
        .identity(release)
        .field("", "PackageLocale", package_locale)
        .field("", "Publisher", release.product.maker)
        .field("", "PackageName", release.product.name)
        .field("", "License", release.product.license)
        .field("", "ShortDescription", release.product.description)
        .end("defaultLocale");
}

} // namespace

std::filesystem::path winget_manifest_folder(const std::filesystem::path& output,
                                             const std::string& version) {
    return output.parent_path() / "winget" / package_identifier / version;
}

Status check_winget_release(const WingetRelease& release,
                            const std::filesystem::path& package_json) {
    struct Bound {
        std::string_view field;
        std::string_view member;
        const std::string& value;
        std::size_t least;
        std::size_t most;
    };
    const std::array<Bound, 6> bounds = {{
        {"PackageVersion", "version", release.version, 1, 128},
        {"Publisher", "author", release.product.maker, 2, 256},
        {"PackageName", "productName", release.product.name, 2, 256},
        {"License", "license", release.product.license, 3, 512},
        {"ShortDescription", "description", release.product.description, 3, 256},
        {"InstallerUrl", "releaseDownloadUrl", release.installer_url, 1, 2048},
    }};
    for (const auto& bound : bounds) {
        const auto length = code_points(bound.value);
        if (length < bound.least || length > bound.most) {
            return Error{"The package manager manifest needs a " + std::string(bound.field) +
                         " of " + std::to_string(bound.least) + " to " +
                         std::to_string(bound.most) + " characters, which it takes from the \"" +
                         std::string(bound.member) + "\" member of " + package_json.string() +
                         "; it has " + std::to_string(length) +
                         ". No setup executable was written."};
        }
    }
    return success();
}

std::vector<WingetManifestFile> winget_manifest_files(const WingetRelease& release) {
    const std::string stem(package_identifier);
    return {
        {stem + ".yaml", version_file(release)},
        {stem + ".installer.yaml", installer_file(release)},
        {stem + ".locale." + std::string(package_locale) + ".yaml", default_locale_file(release)}};
}

} // namespace tarnquill
