#include "engine/keyboard/key_layout.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "engine/core/core_types.h"

namespace clavio {

namespace {

struct KeyPlace {
    std::uint16_t code;
    std::string_view name; // empty: a modifier, named by kModifierNames
    float column;          // the key's centre in key widths from the left edge
};

// The rows of an ANSI keyboard, key centres in key widths (a standard key
// is 1 wide; Tab 1.5, Caps Lock 1.75, left Shift 2.25, Enter 2.25, right
// Shift 2.75, the bottom row's modifiers 1.25, the space bar 6.25).
// Kept as rows of the keyboard (clang-format off).
// clang-format off
constexpr KeyPlace kPlaces[] = {
    // Escape and function row
    {53, "Esc", 0.5f}, {122, "F1", 2.5f}, {120, "F2", 3.5f}, {99, "F3", 4.5f},
    {118, "F4", 5.5f}, {96, "F5", 7.0f}, {97, "F6", 8.0f}, {98, "F7", 9.0f},
    {100, "F8", 10.0f}, {101, "F9", 11.5f}, {109, "F10", 12.5f}, {103, "F11", 13.5f},
    {111, "F12", 14.5f},
    // Digits row
    {50, "`", 0.5f}, {18, "1", 1.5f}, {19, "2", 2.5f}, {20, "3", 3.5f}, {21, "4", 4.5f},
    {23, "5", 5.5f}, {22, "6", 6.5f}, {26, "7", 7.5f}, {28, "8", 8.5f}, {25, "9", 9.5f},
    {29, "0", 10.5f}, {27, "-", 11.5f}, {24, "=", 12.5f}, {51, "Backspace", 14.0f},
    // Top letter row
    {48, "Tab", 0.75f}, {12, "Q", 2.0f}, {13, "W", 3.0f}, {14, "E", 4.0f}, {15, "R", 5.0f},
    {17, "T", 6.0f}, {16, "Y", 7.0f}, {32, "U", 8.0f}, {34, "I", 9.0f}, {31, "O", 10.0f},
    {35, "P", 11.0f}, {33, "[", 12.0f}, {30, "]", 13.0f}, {42, "\\", 14.25f},
    // Home row
    {57, "", 0.875f}, {0, "A", 2.25f}, {1, "S", 3.25f}, {2, "D", 4.25f}, {3, "F", 5.25f},
    {5, "G", 6.25f}, {4, "H", 7.25f}, {38, "J", 8.25f}, {40, "K", 9.25f}, {37, "L", 10.25f},
    {41, ";", 11.25f}, {39, "'", 12.25f}, {36, "Return", 14.125f},
    // Bottom letter row
    {56, "", 1.125f}, {6, "Z", 2.75f}, {7, "X", 3.75f}, {8, "C", 4.75f}, {9, "V", 5.75f},
    {11, "B", 6.75f}, {45, "N", 7.75f}, {46, "M", 8.75f}, {43, ",", 9.75f}, {47, ".", 10.75f},
    {44, "/", 11.75f}, {60, "", 13.625f},
    // Space bar row
    {59, "", 0.625f}, {55, "", 1.875f}, {58, "", 3.125f}, {49, "Space", 6.875f},
    {61, "", 10.625f}, {54, "", 11.875f}, {110, "Menu", 13.125f}, {62, "", 14.375f},
    // Editing block and arrows, right of the main block
    {114, "Ins", 15.75f}, {115, "Home", 16.75f}, {116, "PgUp", 17.75f}, {117, "Del", 15.75f},
    {119, "End", 16.75f}, {121, "PgDown", 17.75f}, {123, "Left", 15.75f}, {125, "Down", 16.75f},
    {124, "Right", 17.75f}, {126, "Up", 16.75f},
};
// clang-format on

// The main block is 15 keys wide; the middle of it is the centre of the image.
constexpr float kBlockHalfWidth = 7.5f;

constexpr std::array<std::pair<std::uint32_t, std::string_view>, 4> kModifierNames = {{
    {kFlagControl, "Ctrl"},
    {kFlagOption, "Alt"},
    {kFlagShift, "Shift"},
    {kFlagCommand, "Super"},
}};

const KeyPlace* place(std::uint16_t code) noexcept {
    for (const KeyPlace& p : kPlaces) {
        if (p.code == code) {
            return &p;
        }
    }
    return nullptr;
}

bool sameWord(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::uint32_t> modifierFlag(std::string_view word) noexcept {
    for (const auto& [flag, name] : kModifierNames) {
        if (sameWord(word, name)) {
            return flag;
        }
    }
    if (sameWord(word, "Control")) {
        return kFlagControl;
    }
    if (sameWord(word, "Meta")) {
        return kFlagCommand;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> keyCodeNamed(std::string_view word) noexcept {
    for (const KeyPlace& p : kPlaces) {
        if (!p.name.empty() && sameWord(word, p.name)) {
            return p.code;
        }
    }
    if (sameWord(word, "Enter")) {
        return 36;
    }
    if (sameWord(word, "Escape")) {
        return 53;
    }
    if (sameWord(word, "Delete")) {
        return 117;
    }
    return std::nullopt;
}

} // namespace

float keyStereoPosition(std::uint16_t keyCode) noexcept {
    const KeyPlace* p = place(keyCode);
    if (!p) {
        return 0.0f;
    }
    return std::clamp((p->column - kBlockHalfWidth) / kBlockHalfWidth, -1.0f, 1.0f);
}

std::string_view keyName(std::uint16_t keyCode) noexcept {
    const KeyPlace* p = place(keyCode);
    return p ? p->name : std::string_view{};
}

std::uint32_t chordModifierMask() noexcept {
    return kFlagShift | kFlagControl | kFlagOption | kFlagCommand;
}

std::optional<KeyChord> parseKeyChord(std::string_view text) {
    KeyChord chord;
    bool haveKey = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('+', start);
        // Every part between separators must be non-empty ("Ctrl++" is refused).
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view word = text.substr(start, end - start);
        while (!word.empty() && word.front() == ' ') {
            word.remove_prefix(1);
        }
        while (!word.empty() && word.back() == ' ') {
            word.remove_suffix(1);
        }
        if (word.empty()) {
            return std::nullopt;
        }
        if (const auto flag = modifierFlag(word)) {
            if (chord.modifiers & *flag) {
                return std::nullopt;
            }
            chord.modifiers |= *flag;
        } else if (const auto code = keyCodeNamed(word); code && !haveKey) {
            chord.keyCode = *code;
            haveKey = true;
        } else {
            return std::nullopt;
        }
        start = end + 1;
    }
    if (!haveKey || chord.modifiers == 0) {
        return std::nullopt;
    }
    return chord;
}

std::string formatKeyChord(const KeyChord& chord) {
    std::string text;
    for (const auto& [flag, name] : kModifierNames) {
        if (chord.modifiers & flag) {
            text.append(name).push_back('+');
        }
    }
    text.append(keyName(chord.keyCode));
    return text;
}

} // namespace clavio
