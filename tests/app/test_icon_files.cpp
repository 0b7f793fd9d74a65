// The application icons installed with the desktop entry: every PNG is the
// logo at its size, and the SVG, drawn by an independent reader of its path
// data, looks like the logo too.
#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QtTest>

#include "app/widgets/clavio_logo.h"

using namespace clavio;

namespace {

const QString kIconDir = QStringLiteral(CLAVIO_BUILD_DIR "/share/icons/hicolor");

// Reads the M, L, C and Z commands with absolute coordinates, which is all
// the icon uses; anything else fails the read.
std::optional<QPainterPath> readPathData(const QString& d) {
    static const QRegularExpression token(QStringLiteral("[MLCZ]|-?[0-9]+(\\.[0-9]+)?"));
    QStringList tokens;
    for (auto it = token.globalMatch(d); it.hasNext();) {
        tokens << it.next().captured(0);
    }
    QString compact = d;
    compact.remove(QRegularExpression(QStringLiteral("[\\s]")));
    if (tokens.join(QString()).length() != compact.length()) {
        return std::nullopt; // something other than the known commands
    }
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    int i = 0;
    auto number = [&](bool& ok) { return i < tokens.size() ? tokens[i++].toDouble(&ok) : 0.0; };
    while (i < tokens.size()) {
        const QString command = tokens[i++];
        bool ok = true;
        if (command == QLatin1String("M") || command == QLatin1String("L")) {
            const double x = number(ok), y = number(ok);
            command == QLatin1String("M") ? path.moveTo(x, y) : path.lineTo(x, y);
        } else if (command == QLatin1String("C")) {
            double v[6];
            for (double& value : v) {
                value = number(ok);
            }
            path.cubicTo(v[0], v[1], v[2], v[3], v[4], v[5]);
        } else if (command == QLatin1String("Z")) {
            path.closeSubpath();
        } else {
            return std::nullopt;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    return path;
}

double meanDifference(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            sum += std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) +
                   std::abs(p.blue() - q.blue()) + std::abs(p.alpha() - q.alpha());
        }
    }
    return sum / (a.width() * a.height() * 4.0);
}

} // namespace

class IconFilesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyPngIsTheLogoAtItsSize() {
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QString path = kIconDir + QStringLiteral("/%1x%1/apps/clavio.png").arg(size);
            QImage png(path);
            QVERIFY2(!png.isNull(), qPrintable(path));
            QCOMPARE(png.size(), QSize(size, size));
            QCOMPARE(png.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                     ClavioLogo::render(size));
        }
    }

    void theSvgDrawsTheLogo() {
        QFile file(kIconDir + QStringLiteral("/scalable/apps/clavio.svg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QImage drawn(256, 256, QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        QPainter p(&drawn);
        p.setRenderHint(QPainter::Antialiasing);
        int paths = 0;
        while (!xml.atEnd()) {
            if (xml.readNext() == QXmlStreamReader::StartElement) {
                if (xml.name() == QLatin1String("svg")) {
                    QCOMPARE(xml.attributes().value(QLatin1String("viewBox")).toString(),
                             QStringLiteral("0 0 256 256"));
                }
                if (xml.name() == QLatin1String("path")) {
                    const auto path =
                        readPathData(xml.attributes().value(QLatin1String("d")).toString());
                    QVERIFY(path);
                    p.fillPath(*path,
                               QColor(xml.attributes().value(QLatin1String("fill")).toString()));
                    ++paths;
                }
            }
        }
        p.end();
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(paths, 3);
        const double diff = meanDifference(drawn, ClavioLogo::render(256));
        QVERIFY2(diff < 1.0, qPrintable(QString::number(diff)));
    }
};

QTEST_MAIN(IconFilesTest)
#include "test_icon_files.moc"
