#include "app/widgets/form_section.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/widgets/app_style.h"

namespace clavio {

FormSection::FormSection(const QString& heading, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    if (!heading.isEmpty()) {
        auto* title = new QLabel(heading);
        title->setObjectName(QStringLiteral("sectionHeading"));
        title->setFont(style::scaledFont(11, QFont::DemiBold));
        QPalette pal = title->palette();
        pal.setColor(QPalette::WindowText, style::secondaryText(palette()));
        title->setPalette(pal);
        title->setContentsMargins(8, 0, 0, 0);
        column->addWidget(title);
    }
    _box = new QFrame;
    _box->setObjectName(QStringLiteral("formBox"));
    // A box a shade off the window colour with a hairline border, readable in
    // light and dark themes alike.
    const QColor window = palette().color(QPalette::Window);
    const QColor box = window.lightness() > 128 ? window.lighter(104) : window.lighter(125);
    const QColor line = style::tertiaryText(palette());
    _box->setStyleSheet(
        QStringLiteral("QFrame#formBox { background: %1; border: 1px solid %2;"
                       " border-radius: 8px; }")
            .arg(box.name(),
                 QColor(line.red(), line.green(), line.blue(), 90).name(QColor::HexArgb)));
    _rows = new QVBoxLayout(_box);
    _rows->setContentsMargins(12, 4, 12, 4);
    _rows->setSpacing(0);
    column->addWidget(_box);
}

QHBoxLayout* FormSection::addRow() {
    if (_rows->count() > 0) {
        auto* separator = new QFrame;
        separator->setObjectName(QStringLiteral("rowSeparator"));
        separator->setFixedHeight(1);
        const QColor line = style::tertiaryText(palette());
        separator->setStyleSheet(
            QStringLiteral("background: %1; border: none;")
                .arg(QColor(line.red(), line.green(), line.blue(), 70).name(QColor::HexArgb)));
        _rows->addWidget(separator);
    }
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 7, 0, 7);
    row->setSpacing(10);
    _rows->addLayout(row);
    return row;
}

QHBoxLayout* FormSection::addRow(const QString& label, QWidget* control) {
    QHBoxLayout* row = addRow();
    auto* text = new QLabel(label);
    row->addWidget(text);
    row->addStretch(1);
    row->addWidget(control);
    return row;
}

} // namespace clavio
