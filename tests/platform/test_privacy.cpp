// What the user types stays private: a known text is typed through a session
// trace into the real coordinator, with pings going over libcurl to a
// loopback server, the log captured and the settings and defaults in a
// temporary XDG folder. Neither the text nor its key codes may show up in
// the log, in any ping, or in any file the application wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "engine/sensing/accel_report.h"
#include "engine/settings/json_defaults_store.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/replay/replay_delivery.h"
#include "engine/replay/session_trace.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"
#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/coordinator_rig.h"
#include "tests/platform/loopback_http_server.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Letters whose triples never occur in English words, hex or JSON, so any
// trace of them in the output can only have come from the typing.
constexpr std::string_view kSecret = "zqxj vkwz jxqv";

std::uint16_t codeOf(char c) {
    switch (c) {
    case 'z':
        return 6;
    case 'q':
        return 12;
    case 'x':
        return 7;
    case 'j':
        return 38;
    case 'v':
        return 9;
    case 'k':
        return 40;
    case 'w':
        return 13;
    case ' ':
        return 49;
    default:
        ADD_FAILURE() << "no key code for " << c;
        return 0;
    }
}

// Writes the secret as a trace: 1 kHz resting reports, each key struck with
// a bump 3 ms after it goes down and released 60 ms later, 150 ms apart.
std::uint64_t writeSecretTrace(const fs::path& path) {
    TraceFileWriter file(path);
    EXPECT_FALSE(file.openError());
    const std::uint64_t start = 1'000'000'000;
    const std::uint64_t length = (300 + 150 * kSecret.size() + 500) * kTicksPerMilli;
    std::map<std::uint64_t, std::vector<TraceKey>> keys;
    std::set<std::uint64_t> bumps;
    for (std::size_t i = 0; i < kSecret.size(); ++i) {
        const std::uint64_t down = start + (300 + 150 * i) * kTicksPerMilli;
        keys[down].push_back({TraceKeyKind::down, codeOf(kSecret[i]), 0, false});
        keys[down + 60 * kTicksPerMilli].push_back({TraceKeyKind::up, codeOf(kSecret[i]), 0});
        bumps.insert(down + 3 * kTicksPerMilli);
    }
    for (std::uint64_t t = start; t < start + length; t += kTicksPerMilli) {
        if (const auto it = keys.find(t); it != keys.end()) {
            for (const auto& key : it->second) {
                EXPECT_TRUE(file.writer().writeKey(t, key));
            }
        }
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(0.0, 0.0, bumps.contains(t) ? 1.12 : 1.0, report);
        EXPECT_TRUE(file.writer().writeAccel(t, report, sizeof report));
    }
    EXPECT_FALSE(file.finish());
    return length;
}

// Everything that must not appear: every three consecutive letters of the
// secret (either case), the secret itself, and every three consecutive key
// codes in the usual ways of listing numbers.
std::vector<std::string> forbiddenPieces() {
    std::vector<std::string> pieces{std::string(kSecret)};
    std::string letters;
    std::vector<std::uint16_t> codes;
    for (char c : kSecret) {
        codes.push_back(codeOf(c));
        if (c != ' ') {
            letters += c;
        }
    }
    for (std::size_t i = 0; i + 3 <= letters.size(); ++i) {
        std::string piece = letters.substr(i, 3);
        pieces.push_back(piece);
        for (char& c : piece) {
            c = char(std::toupper(static_cast<unsigned char>(c)));
        }
        pieces.push_back(piece);
    }
    for (std::size_t i = 0; i + 3 <= codes.size(); ++i) {
        for (const char* separator : {",", ", ", " ", ";"}) {
            pieces.push_back(std::to_string(codes[i]) + separator + std::to_string(codes[i + 1]) +
                             separator + std::to_string(codes[i + 2]));
        }
    }
    return pieces;
}

// The whole numbers of a text in order: runs of digits not part of a longer
// word or decimal (so "0.6", "6f" and "x6" are not 6).
std::vector<std::string> wholeNumbers(const std::string& text) {
    std::vector<std::string> numbers;
    auto partOfWord = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_';
    };
    for (std::size_t i = 0; i < text.size();) {
        if (!partOfWord(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && partOfWord(text[end])) {
            ++end;
        }
        const std::string token = text.substr(i, end - i);
        if (std::all_of(token.begin(), token.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            numbers.push_back(token);
        }
        i = end;
    }
    return numbers;
}

void expectClean(const std::string& where, const std::string& text) {
    static const auto pieces = forbiddenPieces();
    for (const auto& piece : pieces) {
        EXPECT_EQ(text.find(piece), std::string::npos)
            << where << " holds \"" << piece << "\" of what was typed:\n"
            << text.substr(0, 2000);
    }
    // Key codes logged one per line or field, with at most one other number
    // between them, also give the typing away.
    std::vector<std::string> codes;
    for (char c : kSecret) {
        codes.push_back(std::to_string(codeOf(c)));
    }
    const auto numbers = wholeNumbers(text);
    for (std::size_t stride = 1; stride <= 2; ++stride) {
        for (std::size_t i = 0; i + 2 * stride < numbers.size(); ++i) {
            for (std::size_t k = 0; k + 3 <= codes.size(); ++k) {
                EXPECT_FALSE(numbers[i] == codes[k] && numbers[i + stride] == codes[k + 1] &&
                             numbers[i + 2 * stride] == codes[k + 2])
                    << where << " lists the key codes " << codes[k] << ", " << codes[k + 1] << ", "
                    << codes[k + 2] << " in order";
            }
        }
    }
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(Privacy, TypedTextAndItsKeyCodesReachNoLogPingOrWrittenFile) {
    TempDir traceDir; // outside the application's folders
    const fs::path trace = traceDir / "secret.trace";
    writeSecretTrace(trace);
    std::vector<TraceRecord> records;
    ASSERT_FALSE(readTrace(trace, records));

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
    const fs::path xdg = rig.home->root();
    JsonDefaultsStore defaults(rig.home->configHome() / "Clavio" / "defaults.json");
    rig.options().defaultsStore = &defaults;

    SettingsValues values;
    values.selectedPackName = "Biscuit";
    auto& coordinator = rig.launch(values);
    ASSERT_FALSE(coordinator.loadedSampleMap().empty());

    // Replay: each record at its time relative to the first, one millisecond
    // of audio at a time.
    const std::uint64_t base = rig.now();
    const std::uint64_t first = records.front().t;
    std::size_t next = 0;
    while (next < records.size()) {
        const std::uint64_t due = base + (records[next].t - first);
        while (next < records.size() && base + (records[next].t - first) == due) {
            const auto& record = records[next++];
            if (record.type == TraceRecord::Type::accel) {
                _hidReportCallback(coordinator.sensor().ringBuffer(), record.accel.data(),
                                   record.accel.size(), due);
            } else {
                coordinator.keyboard().native->handleTapEvent(
                    tapEventFromTraceKey(record.key, due));
            }
        }
        rig.run(1ms);
    }
    rig.run(100ms, 1.0f);
    const auto presses = rig.presses();
    ASSERT_EQ(presses.size(), kSecret.size()) << "every key of the text was heard";
    EXPECT_EQ(presses[0].keyEvent.keyCode, codeOf(kSecret[0]));

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
        expectClean("ping " + request.path, request.path + "\n" + request.body);
    }
    std::string lines;
    for (const auto& line : log.lines()) {
        lines += line + "\n";
    }
    expectClean("the log", lines);
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(xdg)) {
        if (entry.is_regular_file()) {
            ++files;
            expectClean(entry.path().string(), readAll(entry.path()));
        }
    }
    EXPECT_GE(files, 2u) << "the settings and defaults files were written";

    // The trace holds the typing, and the check finds it there.
    const auto traceNumbers = wholeNumbers(readAll(trace));
    const auto codeAt = [&](std::size_t k) { return std::to_string(codeOf(kSecret[k])); };
    std::vector<std::string> codesInTrace;
    for (std::size_t i = 0; i + 1 < traceNumbers.size(); ++i) {
        if (traceNumbers[i].size() < 4 && traceNumbers[i + 1] == "0") {
            codesInTrace.push_back(traceNumbers[i]); // "code":N,"flags":0
        }
    }
    ASSERT_GE(codesInTrace.size(), 3u);
    EXPECT_EQ(codesInTrace[0], codeAt(0));
    EXPECT_EQ(codesInTrace[2], codeAt(1)) << "down and up of each key";
}
