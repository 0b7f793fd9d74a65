#include "app/views/incompatible_view.h"

#include <QHBoxLayout>
#include <QKeyEvent>
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
    setWindowTitle(QStringLiteral("No accelerometer found"));
    setObjectName(QStringLiteral("incompatible"));
    setFixedSize(kWidth, kHeight);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins((kWidth - kTextWidth) / 2, 16, (kWidth - kTextWidth) / 2, 16);
    column->setSpacing(14);
    column->addStretch(1);

    auto* glyph = new WarningGlyph(48, style::orange());
    glyph->setObjectName(QStringLiteral("warningSymbol"));
    column->addWidget(glyph, 0, Qt::AlignHCenter);

    // One line: a wrapping label in a centred cell is given its first line's height only.
    QLabel* title =
        centredLabel(QStringLiteral("No accelerometer found"), style::titleFont(), "title");
    title->setWordWrap(false);
    column->addWidget(title, 0, Qt::AlignHCenter);

    // Added without an alignment so the wrapped lines get their height for
    // the column's width (340 between the margins).
    auto* lines = new QVBoxLayout;
    lines->setSpacing(8);
    lines->addWidget(centredLabel(
        QStringLiteral("Clavio tells a light tap from a hard strike by the small jolt it sends "
                       "through the computer, which only an accelerometer can feel. This "
                       "computer has none that Clavio can read."),
        style::bodyFont(), "requirement"));
    lines->addWidget(
        centredLabel(QStringLiteral("Clavio plays every key at a fixed strength instead. "
                                    "You can set it under Settings, Sound."),
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

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    auto* quit = new QPushButton(QStringLiteral("Quit Clavio"));
    quit->setObjectName(QStringLiteral("quitButton"));
    quit->setAutoDefault(false);
    quit->setCursor(Qt::PointingHandCursor);
    connect(quit, &QPushButton::clicked, this, &IncompatibleView::quitRequested);
    buttons->addWidget(quit);
    auto* proceed = new QPushButton(QStringLiteral("Continue"));
    proceed->setObjectName(QStringLiteral("continueButton"));
    proceed->setDefault(true); // drawn as the default; Return presses it (keyPressEvent)
    proceed->setCursor(Qt::PointingHandCursor);
    connect(proceed, &QPushButton::clicked, this, &QWidget::close);
    buttons->addWidget(proceed);
    column->addLayout(buttons);
    column->setAlignment(buttons, Qt::AlignHCenter);

    column->addStretch(1);
}

void IncompatibleView::keyPressEvent(QKeyEvent* event) {
    // A plain window has no default button of its own: Return and Enter
    // continue, Escape closes as well.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        close();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void IncompatibleView::openWebsite() {
    if (_openUrl && isWebAddress(_websiteUrl)) {
        _openUrl(_websiteUrl);
    }
}

} // namespace clavio
