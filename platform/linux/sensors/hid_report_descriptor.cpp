#include "platform/linux/sensors/hid_report_descriptor.h"

namespace clavio::platform {

namespace {
constexpr std::uint8_t kLongItemPrefix = 0xFE;

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };
constexpr std::uint8_t kTagCollection = 0xA;    // main
constexpr std::uint8_t kTagEndCollection = 0xC; // main
constexpr std::uint8_t kTagUsagePage = 0x0;     // global
constexpr std::uint8_t kTagPush = 0xA;          // global
constexpr std::uint8_t kTagPop = 0xB;           // global
constexpr std::uint8_t kTagUsage = 0x0;         // local
constexpr int kMaxPushDepth = 16;
} // namespace

std::optional<HidUsage> parsePrimaryUsage(const std::uint8_t* data, std::size_t size) noexcept {
    std::uint32_t usagePage = 0;
    std::uint32_t pushed[kMaxPushDepth] = {};
    int pushDepth = 0;
    bool haveUsage = false;  // the local state holds a usage
    std::uint32_t usage = 0; // the first usage of the local state
    int collectionDepth = 0;

    for (std::size_t i = 0; i < size;) {
        const std::uint8_t prefix = data[i];
        if (prefix == kLongItemPrefix) {
            if (i + 2 >= size) {
                return std::nullopt;
            }
            const std::size_t length = data[i + 1];
            i += 3 + length;
            if (i > size) {
                return std::nullopt;
            }
            continue;
        }
        const std::size_t length = (prefix & 3u) == 3 ? 4 : (prefix & 3u);
        if (i + 1 + length > size) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (std::size_t b = 0; b < length; ++b) {
            value |= std::uint32_t(data[i + 1 + b]) << (8 * b);
        }
        const auto type = static_cast<std::uint8_t>((prefix >> 2) & 3u);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        i += 1 + length;

        if (type == kGlobal) {
            if (tag == kTagUsagePage) {
                usagePage = value;
            } else if (tag == kTagPush && pushDepth < kMaxPushDepth) {
                pushed[pushDepth++] = usagePage;
            } else if (tag == kTagPop && pushDepth > 0) {
                usagePage = pushed[--pushDepth];
            }
        } else if (type == kLocal) {
            if (tag == kTagUsage && !haveUsage) {
                haveUsage = true;
                usage = value;
            }
        } else if (type == kMain) {
            if (tag == kTagCollection) {
                if (collectionDepth == 0 && haveUsage) {
                    // A 4-byte usage carries its own page in the upper half.
                    if (usage > 0xFFFF) {
                        return HidUsage{usage >> 16, usage & 0xFFFF};
                    }
                    return HidUsage{usagePage, usage};
                }
                ++collectionDepth;
            } else if (tag == kTagEndCollection && collectionDepth > 0) {
                --collectionDepth;
            }
            haveUsage = false;
        }
    }
    return std::nullopt;
}

} // namespace clavio::platform
