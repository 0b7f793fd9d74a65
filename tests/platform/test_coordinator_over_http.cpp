// The coordinator with the Linux services it pings and plays through: libcurl
// to a loopback HTTP server, the machine description, libsndfile decoding the
// built-in packs. Keys and accelerometer reports go through the capture and
// report logic on virtual time.
#include <gtest/gtest.h>

#include "engine/settings/json_defaults_store.h"
#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/coordinator_rig.h"
#include "tests/platform/loopback_http_server.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

std::vector<nlohmann::json> bodies(const LoopbackHttpServer& server) {
    std::vector<nlohmann::json> out;
    for (const auto& request : server.received()) {
        EXPECT_EQ(request.path, "/api/ping");
        EXPECT_EQ(request.contentType, "application/json");
        out.push_back(nlohmann::json::parse(request.body));
    }
    return out;
}

} // namespace

TEST(CoordinatorOverHttp, PingsArriveWithBaseFieldsAndExtrasAndLaunchesCountUp) {
    LoopbackHttpServer server;
    TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    platform::LinuxMachineDescription machine;
    platform::SndfileDecoder decoder;
    std::size_t expectedRequests = 0;
    for (int launch = 1; launch <= 2; ++launch) {
        platform::CurlHttpSender sender;
        RigOptions options;
        options.httpSender = &sender;
        options.defaultsStore = &defaults;
        options.machine = &machine;
        options.decoder = &decoder;
        options.pingBaseUrl = server.baseUrl();
        options.bundledPacks = CLAVIO_RESOURCE_BUILD_DIR "/SoundPacks";
        CoordinatorRig rig(options);
        SettingsValues values;
        values.selectedPackName = "Biscuit";
        values.masterVolume = 0.5f;
        auto& coordinator = rig.launch(values);
        ++expectedRequests;
        ASSERT_FALSE(coordinator.loadedSampleMap().empty()) << "the built-in pack decodes";

        // A key sounds through the real decoder's samples.
        rig.run(300ms, 1.0f);
        rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, 1.08f);
        rig.keyDown(0);
        rig.run(60ms, 1.0f);
        rig.keyUp(0);
        rig.run(20ms, 1.0f);
        EXPECT_NE(rig.firstSoundingFrame(), -1);

        if (launch == 2) {
            coordinator.switchPack("Bluebell");
            coordinator.switchPack("Bluebell");
            coordinator.sendEvent("sound_toggle", {{"enabled", false}});
            expectedRequests += 2;
        }
        ASSERT_TRUE(sender.waitUntilIdle(10s));
    }
    ASSERT_TRUE(server.waitForRequests(expectedRequests, 10s));
    const auto received = bodies(server);
    ASSERT_EQ(received.size(), 4u);

    const auto& first = received[0];
    for (const char* field :
         {"aid", "event", "v", "os", "hw", "chip", "locale", "pack", "sensor", "ts"}) {
        ASSERT_TRUE(first.contains(field)) << field;
        EXPECT_TRUE(first[field].is_string()) << field;
    }
    EXPECT_EQ(first["event"], "launch");
    EXPECT_EQ(first["launches"], 1);
    EXPECT_EQ(first["v"], "9.8.7");
    EXPECT_EQ(first["pack"], "Biscuit");
    EXPECT_EQ(first["sensor"], "yes");
    EXPECT_EQ(first["volume"], 0.5);
    EXPECT_EQ(first["sound_on"], true);
    EXPECT_EQ(first["ts"], "2026-01-31T09:15:00Z");
    EXPECT_EQ(first.size(), 13u) << first.dump();
    EXPECT_EQ(first["aid"].get<std::string>().size(), 36u);
    EXPECT_FALSE(first.contains("code")) << "a ping never carries a key";

    EXPECT_EQ(received[1]["event"], "launch");
    EXPECT_EQ(received[1]["launches"], 2);
    EXPECT_EQ(received[1]["aid"], first["aid"]);

    EXPECT_EQ(received[2]["event"], "pack_change");
    EXPECT_EQ(received[2]["old_pack"], "Biscuit");
    EXPECT_EQ(received[2]["new_pack"], "Bluebell");
    EXPECT_EQ(received[2]["pack"], "Bluebell");

    EXPECT_EQ(received[3]["event"], "sound_toggle");
    EXPECT_EQ(received[3]["enabled"], false);
    EXPECT_EQ(received[3]["aid"], first["aid"]);
}
