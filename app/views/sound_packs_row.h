// The Sound tab's "Sound packs" row: "Add Sound Pack…" imports a pack of
// another format (a folder or a .zip, chosen from a small menu) into the user
// pack folder and reloads the pack list, then shows what it made or the error
// line in a message box; "Open Packs Folder" opens the user pack folder in
// the file manager (xdg-open through the desktop's URL opener).
//
// Threading: main thread; an import runs there (a pack takes well under a
// second to a few seconds).
#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>

#include "app/widgets/form_section.h"

namespace clavio {

class SoundPackManager;

class SoundPacksRow : public FormSection {
    Q_OBJECT
public:
    // `openFolder` receives a file:// address; by default xdg-open runs.
    explicit SoundPacksRow(SoundPackManager& packs,
                           std::function<void(std::string)> openFolder = {},
                           QWidget* parent = nullptr);

    // Imports the folder or zip and reloads the pack list; true on success.
    // resultText() then says what it made, or the error line.
    bool importFrom(const std::filesystem::path& source);
    // Creates the user pack folder when missing and opens it.
    void openPacksFolder();

    QString resultText() const;

private:
    void importAndTell(const std::filesystem::path& source);

    SoundPackManager& _packs;
    std::function<void(std::string)> _openFolder;
    QString _resultText;
};

} // namespace clavio
