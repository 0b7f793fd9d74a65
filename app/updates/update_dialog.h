// The dialog that answers "Check for Updates...": a headline and a message,
// with a link to the new release when there is one.
//
// Threading: main thread.
#pragma once

#include <QDialog>

#include "app/services/open_url_hook.h"

class QLabel;

namespace clavio {

struct UpdateCheckResult;

class UpdateDialog : public QDialog {
    Q_OBJECT
public:
    UpdateDialog(const UpdateCheckResult& result, OpenUrlHook openUrl, QWidget* parent = nullptr);

    QString headline() const;
    // The message as the user reads it (links as their text).
    QString message() const;

private:
    QLabel* _headline;
    QLabel* _message;
};

} // namespace clavio
