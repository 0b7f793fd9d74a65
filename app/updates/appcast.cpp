#include "app/updates/appcast.h"

#include <QXmlStreamReader>

#include <charconv>

#include "app/services/open_url_hook.h"

namespace clavio {

namespace {

constexpr size_t kMaxComponents = 8;
constexpr unsigned kMaxComponent = 999999999;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// What one <item> yielded while reading it.
struct ItemFields {
    QString elementVersion;
    QString elementShortVersion;
    QString enclosureVersion;
    QString enclosureShortVersion;
    QString enclosureUrl;
    QString link;
    QString releaseNotes;
    bool otherSystem = false;
};

std::optional<AppcastItem> finish(const ItemFields& f) {
    if (f.otherSystem) {
        return std::nullopt;
    }
    AppcastItem item;
    item.version = (f.enclosureVersion.isEmpty() ? f.elementVersion : f.enclosureVersion)
                       .trimmed()
                       .toStdString();
    if (!parseVersion(item.version)) {
        return std::nullopt;
    }
    const QString shortVersion =
        f.enclosureShortVersion.isEmpty() ? f.elementShortVersion : f.enclosureShortVersion;
    item.displayVersion =
        shortVersion.trimmed().isEmpty() ? item.version : shortVersion.trimmed().toStdString();
    for (const QString& candidate : {f.link, f.releaseNotes, f.enclosureUrl}) {
        const std::string url = candidate.trimmed().toStdString();
        if (isWebAddress(url)) {
            item.link = url;
            break;
        }
    }
    return item;
}

const QLatin1String kSparkleNamespace("http://www.andymatuschak.org/xml-namespaces/sparkle");

// The conventional namespace, or any namespace bound to the conventional
// "sparkle" prefix (feeds written by hand get the address wrong).
bool inSparkleNamespace(QStringView prefix, QStringView uri) {
    return uri == kSparkleNamespace || prefix == QLatin1String("sparkle");
}

bool isSparkle(const QXmlStreamReader& xml, QLatin1String name) {
    return xml.name() == name && inSparkleNamespace(xml.prefix(), xml.namespaceUri());
}

QString sparkleAttribute(const QXmlStreamAttributes& attributes, QLatin1String name) {
    for (const auto& a : attributes) {
        if (a.name() == name && inSparkleNamespace(a.prefix(), a.namespaceUri())) {
            return a.value().toString();
        }
    }
    return {};
}

} // namespace

std::optional<std::vector<unsigned>> parseVersion(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) {
        return std::nullopt;
    }
    std::vector<unsigned> parts;
    while (true) {
        const auto dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || parts.size() == kMaxComponents) {
            return std::nullopt;
        }
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || end != part.data() + part.size() || value > kMaxComponent) {
            return std::nullopt;
        }
        parts.push_back(value);
        if (dot == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(dot + 1);
    }
}

std::optional<int> compareVersions(std::string_view a, std::string_view b) {
    const auto va = parseVersion(a);
    const auto vb = parseVersion(b);
    if (!va || !vb) {
        return std::nullopt;
    }
    const size_t n = std::max(va->size(), vb->size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned x = i < va->size() ? (*va)[i] : 0;
        const unsigned y = i < vb->size() ? (*vb)[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

AppcastParse parseAppcast(const QByteArray& data) {
    AppcastParse result;
    if (data.trimmed().isEmpty()) {
        result.error = "The update feed is empty";
        return result;
    }
    QXmlStreamReader xml(data);
    bool sawRss = false;
    int items = 0;
    std::optional<ItemFields> item;

    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (!sawRss) {
                if (xml.name() != QLatin1String("rss")) {
                    result.error = "The update feed is not an RSS feed (it starts with <" +
                                   xml.qualifiedName().toString().toStdString() + ">)";
                    return result;
                }
                sawRss = true;
                continue;
            }
            if (xml.name() == QLatin1String("item") && xml.prefix().isEmpty()) {
                item.emplace();
                ++items;
                continue;
            }
            if (!item) {
                continue;
            }
            if (xml.name() == QLatin1String("enclosure") && xml.prefix().isEmpty()) {
                const auto attributes = xml.attributes();
                const QString os = sparkleAttribute(attributes, QLatin1String("os"));
                if (!os.isEmpty() && os.compare(QLatin1String("linux"), Qt::CaseInsensitive)) {
                    item->otherSystem = true;
                }
                item->enclosureVersion = sparkleAttribute(attributes, QLatin1String("version"));
                item->enclosureShortVersion =
                    sparkleAttribute(attributes, QLatin1String("shortVersionString"));
                item->enclosureUrl = attributes.value(QLatin1String("url")).toString();
            } else if (xml.name() == QLatin1String("link") && xml.prefix().isEmpty()) {
                item->link = xml.readElementText(QXmlStreamReader::SkipChildElements);
            } else if (isSparkle(xml, QLatin1String("version"))) {
                item->elementVersion = xml.readElementText(QXmlStreamReader::SkipChildElements);
            } else if (isSparkle(xml, QLatin1String("shortVersionString"))) {
                item->elementShortVersion =
                    xml.readElementText(QXmlStreamReader::SkipChildElements);
            } else if (isSparkle(xml, QLatin1String("releaseNotesLink"))) {
                item->releaseNotes = xml.readElementText(QXmlStreamReader::SkipChildElements);
            }
        } else if (token == QXmlStreamReader::EndElement && item &&
                   xml.name() == QLatin1String("item") && xml.prefix().isEmpty()) {
            if (auto candidate = finish(*item)) {
                if (!result.newest ||
                    compareVersions(candidate->version, result.newest->version).value_or(0) > 0) {
                    result.newest = std::move(*candidate);
                }
            }
            item.reset();
        }
    }
    if (xml.hasError()) {
        result.newest.reset();
        result.error = "The update feed is malformed: " + xml.errorString().toStdString() +
                       " (line " + std::to_string(xml.lineNumber()) + ")";
        return result;
    }
    if (!sawRss) {
        result.error = "The update feed holds no elements";
    } else if (!result.newest) {
        result.error = items == 0 ? "The update feed lists no releases"
                                  : "The update feed lists no release with a version for Linux";
    }
    return result;
}

} // namespace clavio
