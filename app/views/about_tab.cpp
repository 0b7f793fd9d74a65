#include "app/views/about_tab.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/widgets/app_style.h"
#include "app/widgets/clavio_logo.h"

namespace clavio {

namespace {

QLabel* centred(const QString& text, const QFont& font, const char* name) {
    auto* l = new QLabel(text);
    l->setObjectName(QLatin1String(name));
    l->setFont(font);
    l->setAlignment(Qt::AlignHCenter);
    l->setTextFormat(Qt::PlainText);
    return l;
}

} // namespace

QString AboutTab::versionText(const std::string& version) {
    return QStringLiteral("Version ") +
           (version.empty() ? QStringLiteral("?") : QString::fromStdString(version));
}

AboutTab::AboutTab(OpenUrlHook openUrl, QWidget* parent, const std::string& websiteUrl,
                   const std::string& version)
    : QWidget(parent), _websiteUrl(websiteUrl), _openUrl(std::move(openUrl)) {
    setObjectName(QStringLiteral("aboutTab"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 16, 20, 12);
    column->setSpacing(12);
    column->addStretch(1);

    column->addWidget(new ClavioLogo(64), 0, Qt::AlignHCenter);

    // Name and version sit 4 px apart, as one item of the column.
    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    names->addWidget(centred(QStringLiteral("Clavio"), style::titleFont(), "productName"));
    names->addWidget(centred(versionText(version), style::calloutFont(), "version"));
    column->addLayout(names);

    column->addWidget(centred(QStringLiteral("The first velocity-sensitive keyboard sound engine."),
                              style::captionFont(), "tagline"));

    auto* link = new QLabel;
    link->setObjectName(QStringLiteral("websiteLink"));
    link->setTextFormat(Qt::RichText);
    link->setText(QStringLiteral("<a href=\"%1\">Website</a>")
                      .arg(QString::fromStdString(_websiteUrl).toHtmlEscaped()));
    link->setOpenExternalLinks(false);
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setCursor(Qt::PointingHandCursor);
    link->setAlignment(Qt::AlignHCenter);
    connect(link, &QLabel::linkActivated, this, [this](const QString&) {
        if (_openUrl && isWebAddress(_websiteUrl)) {
            _openUrl(_websiteUrl);
        }
    });
    column->addWidget(link);

    column->addStretch(1);

    QFont small = style::captionFont();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    QLabel* notice =
        centred(QStringLiteral("Usage pings are anonymous and never include what you type."), small,
                "notice");
    QPalette pal = notice->palette();
    pal.setColor(QPalette::WindowText, style::secondaryText(palette()));
    notice->setPalette(pal);
    column->addWidget(notice);
}

} // namespace clavio
