#include "manifest.h"

#include <string_view>

namespace tarnquill {
namespace {

constexpr std::string_view template_version = "0.13.3.0";

constexpr std::string_view manifest_template =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
    R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">)"
    R"(<assemblyIdentity version="0.13.3.0" processorArchitecture="amd64" )"
    R"(name="TARNQUILL.Setup" type="win32"/>)"
    R"(<description>TARNQUILL online installer</description>)"
    R"(<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>)"
    R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"
    R"(</requestedPrivileges></security></trustInfo>)"
    R"(<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>)"
    R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"
    R"(</application></compatibility></assembly>)";

} // namespace

Bytes application_manifest(const ReleaseVersion& version) {
    std::string text(manifest_template);
    const auto replacement = version.four_part();
    for (auto at = text.find(template_version); at != std::string::npos;
         at = text.find(template_version, at + replacement.size())) {
        text.replace(at, template_version.size(), replacement);
    }
    return Bytes(text.begin(), text.end());
}

} // namespace tarnquill
