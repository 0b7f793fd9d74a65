// The tray icon: a rounded square with a "c", filled while sound is enabled
// and outlined while it is disabled. It is drawn per pixel size rather than
// scaled, so every edge sits on the pixel grid from 16 to 48 pixels, and it
// carries its own contrast (a lime fill framed in near-black; a mid-grey
// outline) because a tray icon cannot know whether the panel is light or dark.
//
// Threading: main thread (QPixmap/QIcon need the GUI thread).
#pragma once

#include <QIcon>
#include <QImage>

#include <array>

namespace clavio {

class MenuBarIcon {
public:
    // Sizes drawn into the icon; trays ask for 16, 22, 24, 32 or 48 pixels.
    static constexpr std::array<int, 5> kSizes{16, 22, 24, 32, 48};

    // One size, on a transparent background. Sizes outside 8..512 are clamped.
    static QImage render(bool soundEnabled, int size);
    // Every size of kSizes, for QSystemTrayIcon to pick from.
    static QIcon icon(bool soundEnabled);
};

} // namespace clavio
