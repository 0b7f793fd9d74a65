#include "app/views/sound_packs_row.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/desktop/xdg_url_opener.h"
#include "platform/linux/packs/pack_installer.h"

namespace clavio {

namespace fs = std::filesystem;

SoundPacksRow::SoundPacksRow(SoundPackManager& packs, std::function<void(std::string)> openFolder,
                             QWidget* parent)
    : FormSection({}, parent), _packs(packs),
      _openFolder(openFolder ? std::move(openFolder) : [](std::string address) {
          platform::XdgUrlOpener().open(address);
      }) {
    setObjectName(QStringLiteral("soundPacksRow"));
    auto* add = new QPushButton(QStringLiteral("Add Sound Pack…"));
    add->setObjectName(QStringLiteral("addSoundPack"));
    add->setToolTip(QStringLiteral("Import a pack of another format (a folder with config.json, "
                                   "a folder of scan-code WAV files, or a .zip of either)"));
    auto* menu = new QMenu(add);
    menu->addAction(QStringLiteral("From a Folder…"), this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(
            this, QStringLiteral("Choose a Sound Pack Folder"));
        if (!folder.isEmpty()) {
            importAndTell(folder.toStdString());
        }
    });
    menu->addAction(QStringLiteral("From a Zip File…"), this, [this] {
        const QString zip = QFileDialog::getOpenFileName(
            this, QStringLiteral("Choose a Sound Pack Zip File"), {},
            QStringLiteral("Zip files (*.zip)"));
        if (!zip.isEmpty()) {
            importAndTell(zip.toStdString());
        }
    });
    add->setMenu(menu);
    auto* open = new QPushButton(QStringLiteral("Open Packs Folder"));
    open->setObjectName(QStringLiteral("openPacksFolder"));
    open->setToolTip(QString::fromStdString(platform::userPackFolder().string()));
    connect(open, &QPushButton::clicked, this, [this] { openPacksFolder(); });
    auto* buttons = new QWidget;
    auto* layout = new QHBoxLayout(buttons);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(add);
    layout->addWidget(open);
    addRow(QStringLiteral("Sound packs"), buttons);
}

void SoundPacksRow::importAndTell(const fs::path& source) {
    if (importFrom(source)) {
        QMessageBox::information(this, QStringLiteral("Sound Pack Added"), _resultText);
    } else {
        QMessageBox::warning(this, QStringLiteral("Sound Pack Not Added"), _resultText);
    }
}

bool SoundPacksRow::importFrom(const fs::path& source) {
    platform::PackInstallRequest request;
    request.source = source;
    // The catalogue's first search path is the built-in folder when there
    // is one; the last is always the user folder.
    const auto paths = _packs.searchPaths();
    if (paths.size() > 1) {
        request.bundledPacks = paths.front();
    }
    const auto result = platform::installForeignPack(request);
    if (!result) {
        _resultText = QString::fromStdString(result.error().text());
        return false;
    }
    _resultText.clear();
    for (const auto& line : platform::describeInstall(result.value())) {
        _resultText += QString::fromStdString(line) + QLatin1Char('\n');
    }
    _resultText = _resultText.trimmed();
    _packs.refresh();
    return true;
}

void SoundPacksRow::openPacksFolder() {
    const fs::path folder = platform::userPackFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    _openFolder(QUrl::fromLocalFile(QString::fromStdString(folder.string()))
                    .toString(QUrl::FullyEncoded)
                    .toStdString());
}

QString SoundPacksRow::resultText() const {
    return _resultText;
}

} // namespace clavio
