// A KeySource that plays a trace's key records: its tap delivers each record
// as the TCATapEvent a live tap would have seen, at the record's due moment
// on the process clock and stamped with that due time, so the real keyboard
// capture thread and its event logic run on a replay exactly as on live
// input. Access is always granted.
//
// Threading contract: as the KeySource port says. hasAccess and
// requestAccess from any thread; the tap's runSlice on the capture thread
// that created it, interrupt() from any thread. The tap's sink calls the
// capture's callback synchronously and adds nothing that allocates or locks.
#pragma once

#include <memory>

#include "engine/ports/key_source.h"
#include "engine/replay/replay_timeline.h"

namespace clavio {

class ReplayKeySource final : public KeySource {
public:
    explicit ReplayKeySource(std::shared_ptr<ReplayTimeline> timeline);

    bool hasAccess() override { return true; }
    void requestAccess() override {}
    // A tap that starts the trace from its beginning also resets the
    // modifier state of the event logic (the trace's modifier changes are
    // relative to nothing held when it began); a later tap goes on after the
    // last key the previous one delivered.
    std::unique_ptr<KeyEventTap> createTap() override;

    const std::shared_ptr<ReplayTimeline>& timeline() const noexcept { return _timeline; }

private:
    std::shared_ptr<ReplayTimeline> _timeline;
};

} // namespace clavio
