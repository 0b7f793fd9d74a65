// The update feed: an RSS "appcast" whose items announce releases, each with
// an enclosure carrying its version, e.g.
//
//   <item>
//     <title>Clavio 1.2</title>
//     <link>https://example.org/releases/1.2</link>
//     <enclosure url="https://example.org/clavio-1.2.tar.gz"
//                sparkle:version="1.2.0" sparkle:shortVersionString="1.2"/>
//   </item>
//
// The version may also be a <sparkle:version> element of the item. Items
// whose enclosure names another system (sparkle:os other than "linux") are
// skipped. Versions are dotted numbers compared component by component.
//
// Threading: pure functions, any thread.
#pragma once

#include <QByteArray>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clavio {

// "1.10.2" -> {1, 10, 2}. Empty components, signs, letters, more than eight
// components or a component above 999999999 make the version invalid.
std::optional<std::vector<unsigned>> parseVersion(std::string_view text);

// Negative, zero or positive as a is older than, the same as or newer than b
// (missing trailing components count as 0: "1.2" equals "1.2.0"); nullopt
// when either is invalid.
std::optional<int> compareVersions(std::string_view a, std::string_view b);

struct AppcastItem {
    std::string version;        // dotted numeric, compared
    std::string displayVersion; // shown to the user (short version string, else version)
    std::string link;           // release page, else the download; may be empty
};

struct AppcastParse {
    std::optional<AppcastItem> newest; // the highest version; set when error is empty
    std::string error;                 // one line: what is wrong and where
};

AppcastParse parseAppcast(const QByteArray& xml);

} // namespace clavio
