#include "app/updates/update_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextDocument>
#include <QVBoxLayout>

#include "app/updates/sparkle_controller.h"
#include "app/widgets/app_style.h"
#include "app/widgets/clavio_logo.h"

namespace clavio {

namespace {
QString html(const std::string& text) {
    return QString::fromStdString(text).toHtmlEscaped();
}
} // namespace

UpdateDialog::UpdateDialog(const UpdateCheckResult& result, OpenUrlHook openUrl, QWidget* parent)
    : QDialog(parent), _headline(new QLabel), _message(new QLabel) {
    setWindowTitle(QStringLiteral("Software Update"));
    setObjectName(QStringLiteral("updateDialog"));

    QFont headlineFont = style::bodyFont();
    headlineFont.setBold(true);
    headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.15);
    _headline->setObjectName(QStringLiteral("headline"));
    _headline->setFont(headlineFont);
    _headline->setTextFormat(Qt::PlainText);
    _message->setObjectName(QStringLiteral("message"));
    _message->setWordWrap(true);
    _message->setMinimumWidth(300);
    _message->setMaximumWidth(420);
    _message->setOpenExternalLinks(false);
    _message->setTextInteractionFlags(Qt::TextBrowserInteraction);

    using Outcome = UpdateCheckResult::Outcome;
    switch (result.outcome) {
    case Outcome::upToDate:
        _headline->setText(QStringLiteral("You're up to date!"));
        _message->setTextFormat(Qt::PlainText);
        _message->setText(QStringLiteral("Clavio %1 is the newest version available.")
                              .arg(QString::fromStdString(result.currentVersion)));
        break;
    case Outcome::updateAvailable: {
        _headline->setText(
            QStringLiteral("Version %1 is available").arg(QString::fromStdString(result.version)));
        _message->setTextFormat(Qt::RichText);
        QString text = QStringLiteral("You have Clavio %1.").arg(html(result.currentVersion));
        if (!result.link.empty()) {
            text += QStringLiteral(" <a href=\"%1\">Get version %2</a>")
                        .arg(html(result.link), html(result.version));
        }
        _message->setText(text);
        break;
    }
    case Outcome::failed:
        _headline->setText(QStringLiteral("Update check failed"));
        _message->setTextFormat(Qt::PlainText);
        _message->setText(QString::fromStdString(result.error));
        break;
    }
    const std::string link = result.link;
    connect(_message, &QLabel::linkActivated, this, [openUrl, link](const QString&) {
        // The address is the one the feed gave, already checked to be http(s);
        // the label's own copy of it is not trusted.
        if (openUrl && isWebAddress(link)) {
            openUrl(link);
        }
    });

    auto* text = new QVBoxLayout;
    text->setSpacing(6);
    text->addWidget(_headline);
    text->addWidget(_message);
    text->addStretch(1);

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(new ClavioLogo(48), 0, Qt::AlignTop);
    top->addLayout(text, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 16);
    column->setSpacing(16);
    column->addLayout(top);
    column->addWidget(buttons);
}

QString UpdateDialog::headline() const {
    return _headline->text();
}

QString UpdateDialog::message() const {
    if (_message->textFormat() != Qt::RichText) {
        return _message->text();
    }
    QTextDocument document;
    document.setHtml(_message->text());
    return document.toPlainText();
}

} // namespace clavio
