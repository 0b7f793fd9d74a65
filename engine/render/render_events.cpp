#include "engine/render/render_events.h"

#include <algorithm>
#include <cstddef>

#include "engine/core/json_fields.h"

namespace clavio {

namespace {

using ordered_json = nlohmann::ordered_json;

ordered_json number(float value) {
    return ordered_json(jsonFromFloat(value));
}

} // namespace

ordered_json encodePressEvent(const ToccaCoordinator::PressReport& press) {
    const KeyEvent& key = press.keyEvent;
    const ImpactResult& impact = press.impact;
    ordered_json j;
    j["t"] = key.timestamp;
    j["code"] = key.keyCode;
    j["group"] = std::string(name(key.keyGroup));
    j["repeat"] = key.isRepeat;
    j["sounded"] = press.sounded;
    j["classifiedAt"] = press.classifiedAt;
    j["rawPeak"] = number(impact.rawPeak);
    j["baseline"] = number(impact.baseline);
    j["score"] = number(impact.score);
    j["velocity"] = number(impact.velocity);
    j["tier"] = std::string(name(impact.tier));
    j["peakTimestamp"] = impact.peakTimestamp;
    j["samplesInWindow"] = impact.samplesInWindow;
    ordered_json layers = ordered_json::array();
    for (const auto& layer : press.layers) {
        ordered_json l;
        l["tier"] = std::string(name(layer.tier));
        l["gain"] = number(layer.layerGain);
        l["sample"] = layer.sampleIndex;
        l["playGain"] = number(layer.gain);
        l["pitch"] = number(layer.pitchShift);
        layers.push_back(std::move(l));
    }
    j["layers"] = std::move(layers);
    return j;
}

ordered_json encodeReleaseEvent(const ToccaCoordinator::ReleaseReport& release) {
    const KeyEvent& key = release.keyEvent;
    ordered_json j;
    j["t"] = key.timestamp;
    j["code"] = key.keyCode;
    j["group"] = std::string(name(key.keyGroup));
    j["release"] = true;
    j["sample"] = release.sampleIndex;
    j["playGain"] = number(release.gain);
    j["pitch"] = number(release.pitchShift);
    return j;
}

std::uint64_t keyTicks(const RenderEvent& event) {
    return std::visit([](const auto& report) { return report.keyEvent.timestamp; }, event);
}

std::string encodeEventLine(const RenderEvent& event) {
    if (const auto* press = std::get_if<ToccaCoordinator::PressReport>(&event)) {
        return encodePressEvent(*press).dump();
    }
    return encodeReleaseEvent(std::get<ToccaCoordinator::ReleaseReport>(event)).dump();
}

void KeyOrderBuffer::add(RenderEvent event) {
    if (_stopped) {
        return;
    }
    const std::pair<std::uint64_t, int> key{keyTicks(event), int(event.index())};
    _held.emplace(key, std::move(event));
    _mostHeld = std::max(_mostHeld, _held.size());
}

bool KeyOrderBuffer::handOnFirst() {
    auto node = _held.extract(_held.begin());
    _stopped = !_sink(node.mapped());
    return !_stopped;
}

bool KeyOrderBuffer::handOnBefore(std::uint64_t ticks) {
    while (!_stopped && !_held.empty() && _held.begin()->first.first < ticks) {
        handOnFirst();
    }
    return !_stopped;
}

bool KeyOrderBuffer::handOnAll() {
    while (!_stopped && !_held.empty()) {
        handOnFirst();
    }
    return !_stopped;
}

void forEachEventLine(const std::vector<ToccaCoordinator::PressReport>& presses,
                      const std::vector<ToccaCoordinator::ReleaseReport>& releases,
                      const std::function<bool(std::string_view)>& line) {
    struct Entry {
        std::uint64_t t;
        int kind; // 0 press, 1 release: a press sorts before a release of its tick
        std::size_t index;
    };
    std::vector<Entry> order;
    order.reserve(presses.size() + releases.size());
    for (std::size_t i = 0; i < presses.size(); ++i) {
        order.push_back({presses[i].keyEvent.timestamp, 0, i});
    }
    for (std::size_t i = 0; i < releases.size(); ++i) {
        order.push_back({releases[i].keyEvent.timestamp, 1, i});
    }
    std::stable_sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
        return a.t != b.t ? a.t < b.t : a.kind < b.kind;
    });
    std::string text;
    for (const Entry& e : order) {
        const ordered_json j = e.kind == 0 ? encodePressEvent(presses[e.index])
                                           : encodeReleaseEvent(releases[e.index]);
        text = j.dump();
        text += '\n';
        if (!line(text)) {
            return;
        }
    }
}

std::string encodeEventsFile(const std::vector<ToccaCoordinator::PressReport>& presses,
                             const std::vector<ToccaCoordinator::ReleaseReport>& releases) {
    std::string text;
    forEachEventLine(presses, releases, [&text](std::string_view line) {
        text += line;
        return true;
    });
    return text;
}

} // namespace clavio
