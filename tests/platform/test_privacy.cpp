// The coordinator's pings end to end, over libcurl to a loopback server,
// with the Linux machine description and the built-in packs decoded by
// libsndfile; and what the user types stays private: a known text typed
// into the coordinator, with the log captured and the settings and defaults
// in a temporary XDG folder, shows up in no log line, ping or written file.
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

    std::vector<nlohmann::json> pings;
    for (const auto& request : server.received()) {
        EXPECT_EQ(request.path, "/api/ping");
        EXPECT_EQ(request.contentType, "application/json");
        EXPECT_EQ(leak(request.body), "") << request.body;
        pings.push_back(nlohmann::json::parse(request.body));
    }
    ASSERT_EQ(pings.size(), 4u) << "two launches, one pack change, one sound toggle";
    const auto& first = pings[0];
    for (const char* field :
         {"aid", "event", "v", "os", "hw", "chip", "locale", "pack", "sensor", "ts"}) {
        ASSERT_TRUE(first.contains(field)) << field;
        EXPECT_TRUE(first[field].is_string()) << field;
    }
    EXPECT_EQ(first.size(), 13u) << first.dump();
    EXPECT_EQ(first["event"], "launch");
    EXPECT_EQ(first["launches"], 1);
    EXPECT_EQ(first["locale"], "fr_CA");
    EXPECT_EQ(first["pack"], "Biscuit");
    EXPECT_EQ(first["sensor"], "yes");
    EXPECT_EQ(first["volume"], 0.5);
    EXPECT_EQ(first["sound_on"], true);
    EXPECT_EQ(first["ts"], "2026-01-31T09:15:00Z");
    EXPECT_EQ(first["aid"].get<std::string>().size(), 36u);
    EXPECT_EQ(pings[1]["launches"], 2);
    EXPECT_EQ(pings[1]["aid"], first["aid"]);
    EXPECT_EQ(pings[2]["event"], "pack_change");
    EXPECT_EQ(pings[2]["old_pack"], "Biscuit");
    EXPECT_EQ(pings[2]["new_pack"], "Bluebell");
    EXPECT_EQ(pings[3]["event"], "sound_toggle");
    EXPECT_EQ(pings[3]["enabled"], false);
}
