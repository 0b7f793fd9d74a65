// Draws the application icon into a hicolor icon tree at build time:
// <dir>/scalable/apps/clavio.svg and <dir>/<N>x<N>/apps/clavio.png for each
// size given. The SVG holds the logo's outlines, so it needs no font.
//
// Usage: clavio_icon_render DIR SIZE...
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainterPath>

#include <cstdio>

#include "app/widgets/clavio_logo.h"

using clavio::ClavioLogo;

namespace {

QString svgPath(const QPainterPath& path) {
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const auto e = path.elementAt(i);
        const QString xy = QStringLiteral("%1 %2").arg(e.x, 0, 'f', 2).arg(e.y, 0, 'f', 2);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            d += QStringLiteral("M") + xy;
            break;
        case QPainterPath::LineToElement:
            d += QStringLiteral("L") + xy;
            break;
        case QPainterPath::CurveToElement:
            d += QStringLiteral("C") + xy;
            break;
        case QPainterPath::CurveToDataElement:
            d += QStringLiteral(" ") + xy;
            break;
        }
    }
    return d + QStringLiteral("Z");
}

bool writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(data) == data.size() && file.flush();
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: clavio_icon_render DIR SIZE...\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);

    constexpr double kSvgSize = 256;
    const ClavioLogo::Shapes shapes = ClavioLogo::shapes(kSvgSize);
    const QString svg =
        QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
                       "viewBox=\"0 0 256 256\">\n"
                       "  <path fill=\"#000000\" d=\"%1\"/>\n"
                       "  <path fill=\"#ffffff\" fill-rule=\"nonzero\" d=\"%2\"/>\n"
                       "  <path fill=\"#c8ff3e\" d=\"%3\"/>\n"
                       "</svg>\n")
            .arg(svgPath(shapes.square), svgPath(shapes.letter), svgPath(shapes.dot));
    if (!writeFile(dir + QStringLiteral("/scalable/apps/clavio.svg"), svg.toUtf8())) {
        std::fprintf(stderr, "clavio_icon_render: cannot write the SVG icon under %s\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || size < 8 || size > 1024) {
            std::fprintf(stderr, "clavio_icon_render: not an icon size: %s\n", argv[i]);
            return 2;
        }
        const QString path = QStringLiteral("%1/%2x%2/apps/clavio.png").arg(dir).arg(size);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!ClavioLogo::render(size).save(path)) {
            std::fprintf(stderr, "clavio_icon_render: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
