#include "app/views/incompatible_view.h"

#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/widgets/app_style.h"
#include "app/widgets/warning_glyph.h"

namespace clavio {

namespace {

QLabel* centredLabel(const QString& text, const QFont& font, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(QLatin1String(name));
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The link names the site by its host, without a leading "www.".
QString siteName(const std::string& url) {
    QString host = QUrl(QString::fromStdString(url)).host();
    if (host.startsWith(QLatin1String("www."))) {
        host.remove(0, 4);
    }
    return host.isEmpty() ? QString::fromStdString(url) : host;
}

} // namespace

IncompatibleView::IncompatibleView(QWidget* parent, const std::string& websiteUrl)
    : QWidget(parent), _websiteUrl(websiteUrl) {
    setWindowTitle(QStringLiteral("Incompatible"));
    setObjectName(QStringLiteral("incompatible"));
    setFixedSize(kWidth, kHeight);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins((kWidth - kTextWidth) / 2, 16, (kWidth - kTextWidth) / 2, 16);
    column->setSpacing(14);
    column->addStretch(1);

    auto* glyph = new WarningGlyph(48, style::orange());
    glyph->setObjectName(QStringLiteral("warningSymbol"));
    column->addWidget(glyph, 0, Qt::AlignHCenter);

    column->addWidget(centredLabel(QStringLiteral("Incompatible Mac"), style::titleFont(), "title"),
                      0, Qt::AlignHCenter);

    // Added without an alignment so the wrapped lines get their height for
    // the column's width (340 between the margins).
    auto* lines = new QVBoxLayout;
    lines->setSpacing(8);
    lines->addWidget(centredLabel(
        QStringLiteral("Clavio requires a MacBook with Apple Silicon M2 Pro or later."),
        style::bodyFont(), "requirement"));
    lines->addWidget(
        centredLabel(QStringLiteral("Your Mac does not have the required accelerometer sensor."),
                     style::calloutFont(), "reason"));
    column->addLayout(lines);

    auto* link = new QLabel;
    link->setObjectName(QStringLiteral("websiteLink"));
    link->setFont(style::calloutFont());
    link->setTextFormat(Qt::RichText);
    link->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                      .arg(QString::fromStdString(_websiteUrl).toHtmlEscaped(),
                           siteName(_websiteUrl).toHtmlEscaped()));
    link->setOpenExternalLinks(false);
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setCursor(Qt::PointingHandCursor);
    connect(link, &QLabel::linkActivated, this, [this](const QString&) { openWebsite(); });
    column->addWidget(link, 0, Qt::AlignHCenter);

    auto* quit = new QPushButton(QStringLiteral("Quit Clavio"));
    quit->setObjectName(QStringLiteral("quitButton"));
    quit->setDefault(true);
    quit->setCursor(Qt::PointingHandCursor);
    quit->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: white;"
                                       " border: 1px solid %2; border-radius: 6px;"
                                       " padding: 5px 16px; font-weight: 600; }"
                                       "QPushButton:pressed { background-color: %2; }")
                            .arg(style::red().name(), style::red().darker(125).name()));
    connect(quit, &QPushButton::clicked, this, &IncompatibleView::quitRequested);
    column->addWidget(quit, 0, Qt::AlignHCenter);

    column->addStretch(1);
}

void IncompatibleView::openWebsite() {
    if (_openUrl && isWebAddress(_websiteUrl)) {
        _openUrl(_websiteUrl);
    }
}

} // namespace clavio
