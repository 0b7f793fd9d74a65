#include "cli/press_table.h"

#include <cstdio>
#include <string>

#include "platform/linux/input/key_names.h"

namespace clavio::cli {

namespace {

std::string layersText(const ToccaCoordinator::PressReport& press) {
    if (!press.sounded) {
        return "(sound off)";
    }
    std::string text;
    for (const auto& layer : press.layers) {
        char part[48];
        std::snprintf(part, sizeof part, "%s%s %.2f", text.empty() ? "" : " + ",
                      std::string(name(layer.tier)).c_str(), double(layer.layerGain));
        text += part;
    }
    return text.empty() ? "-" : text;
}

} // namespace

std::string pressTableHeading() {
    char line[256];
    std::snprintf(line, sizeof line, "%8s  %-10s %-9s %8s %8s  %-7s %s\n", "TIME", "KEY", "GROUP",
                  "PEAK", "VELOCITY", "TIER", "LAYERS");
    return line;
}

std::string pressTableLine(const ToccaCoordinator::PressReport& press, std::uint64_t originTicks) {
    const KeyEvent& key = press.keyEvent;
    const double seconds =
        key.timestamp >= originTicks ? double(key.timestamp - originTicks) * 1e-9 : 0.0;
    char line[256];
    std::snprintf(line, sizeof line, "%8.3f  %-10s %-9s %8.4f %8.3f  %-7s %s\n", seconds,
                  platform::virtualKeyName(key.keyCode).c_str(),
                  std::string(name(key.keyGroup)).c_str(), double(press.impact.rawPeak),
                  double(press.impact.velocity), std::string(name(press.impact.tier)).c_str(),
                  layersText(press).c_str());
    return line;
}

void printPressTable(std::ostream& out, const std::vector<ToccaCoordinator::PressReport>& presses,
                     std::uint64_t originTicks) {
    out << pressTableHeading();
    for (const auto& press : presses) {
        out << pressTableLine(press, originTicks);
    }
}

} // namespace clavio::cli
