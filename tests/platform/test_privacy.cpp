// What the user types stays private: a known text is typed into the real
// coordinator, with pings going over libcurl to a loopback server, the log
// captured and the settings and defaults in a temporary XDG folder. Neither
// the text nor its key codes may show up in the log, in any ping, or in any
// file the application wrote.
#include <gtest/gtest.h>

#include <cctype>

#include "engine/settings/json_defaults_store.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/net/curl_http_sender.h"
#include "tests/support/coordinator_rig.h"
#include "tests/support/loopback_http_server.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Letters whose triples never occur in English words, hex or JSON, so any
// trace of them in the output can only have come from the typing.
constexpr std::string_view kSecret = "zqxj vkwz jxqv";
const std::map<char, std::uint16_t> kCodes = {{'z', 6},  {'q', 12}, {'x', 7},  {'j', 38},
                                              {'v', 9},  {'k', 40}, {'w', 13}, {' ', 49}};

// What gives the typing away in `text`: three consecutive letters of the
// secret (either case), or three consecutive key codes as whole numbers with
// at most one other number between them. Empty when clean.
std::string leak(const std::string& text) {
    std::string letters, lower = text;
    for (char c : kSecret) {
        letters += c == ' ' ? "" : std::string(1, c);
    }
    for (char& c : lower) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    for (std::size_t i = 0; i + 3 <= letters.size(); ++i) {
        if (lower.find(letters.substr(i, 3)) != std::string::npos) {
            return "the letters " + letters.substr(i, 3);
        }
    }
    // Whole numbers: digit runs not part of a longer word or decimal.
    std::vector<std::string> numbers;
    for (std::size_t i = 0, end; i < text.size(); i = end + 1) {
        for (end = i; end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                            text[end] == '.' || text[end] == '_');) {
            ++end;
        }
        const std::string token = text.substr(i, end - i);
        if (!token.empty() && token.find_first_not_of("0123456789") == std::string::npos) {
            numbers.push_back(token);
        }
    }
    for (std::size_t stride = 1; stride <= 2; ++stride) {
        for (std::size_t i = 0; i + 2 * stride < numbers.size(); ++i) {
            for (std::size_t k = 0; k + 3 <= kSecret.size(); ++k) {
                const auto code = [&](std::size_t at) { return std::to_string(kCodes.at(kSecret[at])); };
                if (numbers[i] == code(k) && numbers[i + stride] == code(k + 1) &&
                    numbers[i + 2 * stride] == code(k + 2)) {
                    return "the key codes " + code(k) + ", " + code(k + 1) + ", " + code(k + 2);
                }
            }
        }
    }
    return "";
}

} // namespace

TEST(Privacy, TypedTextAndItsKeyCodesReachNoLogPingOrWrittenFile) {
    // The check itself finds the typing where it is.
    EXPECT_NE(leak("typed: Zqx"), "");
    EXPECT_NE(leak(R"({"code":6,"flags":0},{"code":12,"flags":0},{"code":7})"), "");
    EXPECT_EQ(leak(R"({"code":6,"t":0.12,"x":7})"), "");

    LoopbackHttpServer server;
    LogCapture log;
    platform::LinuxMachineDescription machine;
    platform::SndfileDecoder decoder;
    platform::CurlHttpSender sender;
    RigOptions options;
    options.httpSender = &sender;
    options.machine = &machine;
    options.decoder = &decoder;
    options.pingBaseUrl = server.baseUrl();
    options.bundledPacks = CLAVIO_RESOURCE_BUILD_DIR "/SoundPacks";
    CoordinatorRig rig(options);
    JsonDefaultsStore defaults(rig.home->configHome() / "Clavio" / "defaults.json");
    rig.options().defaultsStore = &defaults;
    SettingsValues values;
    values.selectedPackName = "Biscuit";
    auto& coordinator = rig.launch(values);
    ASSERT_FALSE(coordinator.loadedSampleMap().empty());

    // Each key struck with a bump 3 ms after it goes down, released 60 ms
    // later, 150 ms apart.
    rig.run(300ms, 1.0f);
    for (char c : kSecret) {
        rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, 1.12f);
        rig.keyDown(kCodes.at(c));
        rig.run(60ms, 1.0f);
        rig.keyUp(kCodes.at(c));
        rig.run(90ms, 1.0f);
    }
    ASSERT_EQ(rig.presses().size(), kSecret.size()) << "every key of the text was heard";

    // Everything else the application does with a session: a switch, a
    // toggle, a calibration, saves, and the end of the session.
    coordinator.switchPack("Bluebell");
    coordinator.sendEvent("sound_toggle", {{"enabled", false}});
    if (auto result = coordinator.calibration().computeThresholds()) {
        coordinator.applyCalibration(*result);
    }
    EXPECT_TRUE(rig.settings().save());
    coordinator.stop();
    rig.run(100ms, 1.0f);
    rig.dropCoordinator();
    ASSERT_TRUE(sender.waitUntilIdle(10s));

    const auto received = server.received();
    EXPECT_GE(received.size(), 3u) << "launch, pack_change and sound_toggle pings";
    for (const auto& request : received) {
        EXPECT_EQ(leak(request.path + "\n" + request.body), "") << request.body;
    }
    std::string lines;
    for (const auto& line : log.lines()) {
        lines += line + "\n";
    }
    EXPECT_EQ(leak(lines), "") << lines;
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(rig.home->root())) {
        if (entry.is_regular_file()) {
            ++files;
            EXPECT_EQ(leak(readFile(entry.path())), "") << entry.path();
        }
    }
    EXPECT_GE(files, 2u) << "the settings and defaults files were written";
}
