// A section of a grouped form, as the settings window's tabs lay them out:
// an optional heading above a rounded box whose rows are separated by thin
// lines. Each row is a label on the left and its control on the right.
//
// Threading: main thread.
#pragma once

#include <QFrame>
#include <QString>

class QHBoxLayout;
class QVBoxLayout;

namespace clavio {

class FormSection : public QWidget {
    Q_OBJECT
public:
    explicit FormSection(const QString& heading = {}, QWidget* parent = nullptr);

    // A new row; the caller adds its widgets. Rows after the first get a
    // separator line above them.
    QHBoxLayout* addRow();
    // A row with `label` on the left and `control` on the right.
    QHBoxLayout* addRow(const QString& label, QWidget* control);

private:
    QFrame* _box;
    QVBoxLayout* _rows;
};

} // namespace clavio
