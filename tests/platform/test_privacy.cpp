// What the user types stays private: a known text typed into the coordinator (real
// pings over libcurl to a loopback server, settings in a temporary XDG folder)
// shows up in no log line, ping or written file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>

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
const std::map<char, std::uint16_t> kCodes = {{'z', 6}, {'q', 12}, {'x', 7},  {'j', 38},
                                              {'v', 9}, {'k', 40}, {'w', 13}, {' ', 49}};

// What gives the typing away in `text`: three consecutive letters of the
// secret (either case), or three consecutive key codes as whole numbers with
// at most one other number between them. Empty when clean.
std::string leak(const std::string& text) {
    std::string letters = "zqxjvkwzjxqv", lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (std::size_t i = 0; i + 3 <= letters.size(); ++i) {
        if (lower.find(letters.substr(i, 3)) != std::string::npos) {
            return "the letters " + letters.substr(i, 3);
        }
    }
    // Whole numbers: digit runs not part of a longer word or decimal.
    std::vector<std::string> numbers;
    const std::regex separators("[^A-Za-z0-9._]+");
    for (std::sregex_token_iterator it(text.begin(), text.end(), separators, -1), end; it != end;
         ++it) {
        if (it->length() > 0 && it->str().find_first_not_of("0123456789") == std::string::npos) {
            numbers.push_back(*it);
        }
    }
    const auto code = [&](std::size_t at) { return std::to_string(kCodes.at(kSecret[at])); };
    for (std::size_t stride = 1; stride <= 2; ++stride) {
        for (std::size_t i = 0; i + 2 * stride < numbers.size(); ++i) {
            for (std::size_t k = 0; k + 3 <= kSecret.size(); ++k) {
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

TEST(Privacy, PingsCarryTheirFieldsButTypedTextAndKeyCodesReachNoLogPingOrFile) {
    // The check itself finds the typing where it is.
    EXPECT_NE(leak("typed: Zqx"), "");
    EXPECT_NE(leak(R"({"code":6,"flags":0},{"code":12,"flags":0},{"code":7})"), "");
    EXPECT_EQ(leak(R"({"code":6,"t":0.12,"x":7})"), "");

    LoopbackHttpServer server;
    ScopedEnv locale("LC_ALL", "fr_CA.UTF-8");
    ScopedXdgHome home;
    JsonDefaultsStore defaults(home.configHome() / "Clavio" / "defaults.json");
    LogCapture log;
    platform::LinuxMachineDescription machine;
    platform::SndfileDecoder decoder;
    for (int launch = 1; launch <= 2; ++launch) {
        platform::CurlHttpSender sender;
        RigOptions options;
        options.httpSender = &sender;
        options.machine = &machine;
        options.decoder = &decoder;
        options.defaultsStore = &defaults;
        options.pingBaseUrl = server.baseUrl();
        options.bundledPacks = CLAVIO_RESOURCE_BUILD_DIR "/SoundPacks";
        CoordinatorRig rig(options);
        SettingsValues values;
        values.selectedPackName = "Biscuit";
        values.masterVolume = 0.5f;
        auto& coordinator = rig.launch(values);
        ASSERT_FALSE(coordinator.loadedSampleMap().empty()) << "the built-in pack decodes";
        rig.run(300ms, 1.0f);
        if (launch == 2) {
            // Each key struck with a bump 3 ms after it goes down, released
            // 60 ms later, 150 ms apart.
            for (char c : kSecret) {
                rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, 1.12f);
                rig.keyDown(kCodes.at(c));
                rig.run(60ms, 1.0f);
                rig.keyUp(kCodes.at(c));
                rig.run(90ms, 1.0f);
            }
            ASSERT_EQ(rig.presses().size(), kSecret.size()) << "every key of the text was heard";
            EXPECT_NE(rig.firstSoundingFrame(), -1);
            // Everything else the application does with a session.
            coordinator.switchPack("Bluebell");
            coordinator.switchPack("Bluebell");
            coordinator.sendEvent("sound_toggle", {{"enabled", false}});
            if (auto result = coordinator.calibration().computeThresholds()) {
                coordinator.applyCalibration(*result);
            }
            EXPECT_TRUE(rig.settings().save());
            coordinator.stop();
            rig.run(100ms, 1.0f);
            rig.dropCoordinator();
            for (const auto& entry : fs::recursive_directory_iterator(rig.home->root())) {
                if (entry.is_regular_file()) {
                    EXPECT_EQ(leak(readFile(entry.path())), "") << entry.path();
                }
            }
            EXPECT_TRUE(fs::exists(rig.home->configHome() / "Clavio" / "settings.json"));
        }
        ASSERT_TRUE(sender.waitUntilIdle(10s));
    }
    std::string lines;
    for (const auto& line : log.lines()) {
        lines += line + "\n";
    }
    EXPECT_EQ(leak(lines), "") << lines;
    EXPECT_EQ(leak(readFile(home.configHome() / "Clavio" / "defaults.json")), "");

    std::vector<std::string> events;
    for (const auto& request : server.received()) {
        EXPECT_EQ(request.path, "/api/ping");
        EXPECT_EQ(leak(request.body), "") << request.body;
        events.push_back(nlohmann::json::parse(request.body).value("event", ""));
    }
    EXPECT_EQ(events,
              (std::vector<std::string>{"launch", "launch", "pack_change", "sound_toggle"}));
    const auto first = nlohmann::json::parse(server.received().at(0).body);
    EXPECT_EQ(first.size(), 13u) << first.dump() << ": no field beyond the known ones";
    EXPECT_EQ(first["locale"], "fr_CA") << "from LC_ALL";
}
