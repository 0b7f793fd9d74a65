#include "engine/replay/replay_key_source.h"

#include "engine/replay/replay_delivery.h"

namespace clavio {

namespace {

class ReplayKeyTap final : public KeyEventTap {
public:
    explicit ReplayKeyTap(std::shared_ptr<ReplayTimeline> timeline)
        : _player(std::move(timeline), TraceRecord::Type::key) {
        _player.setKeySink([this](const TraceKey& key, std::uint64_t due) {
            _callback(_context, tapEventFromTraceKey(key, due));
        });
    }

    bool runSlice(double seconds, TapEventCallback callback, void* context) override {
        _callback = callback;
        _context = context;
        _player.runSlice(seconds);
        // A replayed keyboard never goes away: after its last key it stays
        // quiet until the capture stops.
        return true;
    }

    void interrupt() noexcept override { _player.interrupt(); }

    bool startsAtBeginning() const noexcept { return _player.startsAtBeginning(); }

private:
    ReplayPlayer _player;
    TapEventCallback _callback = nullptr;
    void* _context = nullptr;
};

} // namespace

ReplayKeySource::ReplayKeySource(std::shared_ptr<ReplayTimeline> timeline)
    : _timeline(std::move(timeline)) {}

std::unique_ptr<KeyEventTap> ReplayKeySource::createTap() {
    auto tap = std::make_unique<ReplayKeyTap>(_timeline);
    if (tap->startsAtBeginning()) {
        // Capture thread, before any event of this tap flows.
        tca_set_previous_flags(0);
    }
    return tap;
}

} // namespace clavio
