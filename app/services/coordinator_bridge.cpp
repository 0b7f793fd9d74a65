#include "app/services/coordinator_bridge.h"

#include <QMetaObject>

#include "engine/settings/tocca_settings.h"

namespace clavio {

static_assert(kSettingsKeyCount <= 64, "one bit per settings key");

CoordinatorBridge::CoordinatorBridge(ToccaCoordinator& coordinator, QObject* parent)
    : QObject(parent), _coordinator(coordinator) {
    // The callbacks hold the bridge through a QPointer (read on the GUI
    // thread only) and the pending bits through a shared pointer, so a
    // notification that was already under way when the bridge went finds
    // nothing to do.
    QPointer<CoordinatorBridge> self(this);
    auto pending = _pending;
    _coordinatorToken = coordinator.subscribe([self, pending](const CoordinatorProperty& p) {
        pending->coordinator.fetch_or(1u << static_cast<unsigned>(p));
        if (self) {
            self->schedule();
        }
    });
    _settingsToken = coordinator.settings().subscribe([self, pending](const SettingsKey& key) {
        pending->settings.fetch_or(std::uint64_t{1} << static_cast<unsigned>(key));
        if (self) {
            self->schedule();
        }
    });
    _packsToken = coordinator.packManager().subscribe([self, pending](const auto&) {
        pending->packs.store(true);
        if (self) {
            self->schedule();
        }
    });
}

CoordinatorBridge::~CoordinatorBridge() {
    _coordinator.unsubscribe(_coordinatorToken);
    _coordinator.settings().unsubscribe(_settingsToken);
    _coordinator.packManager().unsubscribe(_packsToken);
}

void CoordinatorBridge::schedule() {
    if (_pending->scheduled.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(this, &CoordinatorBridge::deliver, Qt::QueuedConnection);
}

void CoordinatorBridge::deliver() {
    _pending->scheduled.store(false);
    const std::uint32_t coordinatorBits = _pending->coordinator.exchange(0);
    const std::uint64_t settingsBits = _pending->settings.exchange(0);
    const bool packs = _pending->packs.exchange(false);
    // A slot may delete the bridge's receivers but not the bridge itself;
    // still, stop at once if it does.
    QPointer<CoordinatorBridge> self(this);
    for (unsigned bit = 0; bit < 32 && self; ++bit) {
        if (coordinatorBits & (1u << bit)) {
            Q_EMIT coordinatorChanged(static_cast<CoordinatorProperty>(bit));
        }
    }
    for (unsigned bit = 0; bit < 64 && self; ++bit) {
        if (settingsBits & (std::uint64_t{1} << bit)) {
            Q_EMIT settingsChanged(static_cast<SettingsKey>(bit));
        }
    }
    if (packs && self) {
        Q_EMIT packsChanged();
    }
}

} // namespace clavio
