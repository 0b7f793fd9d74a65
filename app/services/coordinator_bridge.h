// Turns the observers of the coordinator, the settings record and the pack
// catalogue into Qt signals for the views.
//
// The engine's records notify just before a property changes, so the new
// value cannot be read inside the notification. The bridge therefore notes
// which properties changed and emits their signals on the next turn of the
// event loop, once per property however often it changed in between (the
// display tick writes several properties 20 times a second; a view redraws
// once per turn at most).
//
// Threading: GUI thread. The records notify on the main thread, which is
// the GUI thread (QtMainQueue), and the signals are emitted there too.
#pragma once

#include <QObject>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/packs/sound_pack_manager.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/runtime/observer_list.h"
#include "engine/settings/settings_values.h"

namespace clavio {

class CoordinatorBridge final : public QObject {
    Q_OBJECT
public:
    // The coordinator (with its settings and pack catalogue) must outlive
    // the bridge.
    explicit CoordinatorBridge(ToccaCoordinator& coordinator, QObject* parent = nullptr);
    ~CoordinatorBridge() override;

    ToccaCoordinator& coordinator() const { return _coordinator; }

Q_SIGNALS:
    void coordinatorChanged(clavio::CoordinatorProperty property);
    void settingsChanged(clavio::SettingsKey key);
    void packsChanged();

private:
    struct Pending {
        std::atomic<std::uint32_t> coordinator{0};
        std::atomic<std::uint64_t> settings{0};
        std::atomic<bool> packs{false};
        std::atomic<bool> scheduled{false};
    };

    void schedule();
    void deliver();

    ToccaCoordinator& _coordinator;
    std::shared_ptr<Pending> _pending = std::make_shared<Pending>();
    ObserverToken _coordinatorToken = 0;
    ObserverToken _settingsToken = 0;
    ObserverToken _packsToken = 0;
};

} // namespace clavio
