// The settings window ("Clavio Settings"): a tab view of fixed size 480 by
// 500 with the tabs "General", "Sound" and "About", in that order. The tabs
// are made with the window and kept while it lives.
//
// Threading: main thread.
#pragma once

#include <QWidget>

#include "app/services/open_url_hook.h"
#include "app/views/general_tab.h"

class QTabWidget;

namespace clavio {

class CoordinatorBridge;

class ClavioSettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 480;
    static constexpr int kHeight = 570;

    ClavioSettingsView(CoordinatorBridge& bridge, LoginItemAction loginItem, OpenUrlHook openUrl,
                       QWidget* parent = nullptr);

    QTabWidget* tabs() const { return _tabs; }

private:
    QTabWidget* _tabs;
};

} // namespace clavio
