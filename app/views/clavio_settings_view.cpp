#include "app/views/clavio_settings_view.h"

#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "app/views/about_tab.h"
#include "app/views/sound_tab.h"
#include "app/widgets/app_style.h"
#include "app/widgets/symbol_glyph.h"

namespace clavio {

ClavioSettingsView::ClavioSettingsView(CoordinatorBridge& bridge, LoginItemAction loginItem,
                                       OpenUrlHook openUrl, QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(QStringLiteral("Clavio Settings"));
    setFixedSize(kWidth, kHeight);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    _tabs = new QTabWidget;
    _tabs->setObjectName(QStringLiteral("tabs"));
    _tabs->setDocumentMode(false);
    const QColor symbols = style::secondaryText(palette());
    _tabs->addTab(new GeneralTab(bridge, std::move(loginItem)),
                  SymbolGlyph::icon(Symbol::gear, symbols), QStringLiteral("General"));
    auto* sound = new SoundTab(bridge);
    _tabs->addTab(sound, SymbolGlyph::icon(Symbol::speakerWave2, symbols),
                  QStringLiteral("Sound"));
    _tabs->addTab(new AboutTab(std::move(openUrl)), SymbolGlyph::icon(Symbol::infoCircle, symbols),
                  QStringLiteral("About"));
    column->addWidget(_tabs);
    // The window keeps its height unless a tab's sections need more (the
    // Sound tab's microphone section), and returns to it when they go.
    const auto fit = [this, column] {
        setFixedHeight(std::max(kHeight, column->sizeHint().height()));
    };
    connect(sound, &SoundTab::sectionsChanged, this, fit);
    fit();
}

} // namespace clavio
