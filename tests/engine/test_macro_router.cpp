#include <gtest/gtest.h>

#include <thread>

#include "engine/settings/macro_router.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::LogCapture;
using nlohmann::json;

namespace {
// Records what would be opened; the real opener is tested on the platform side.
class RecordingOpener : public UrlOpener {
public:
    bool open(const std::string& address) override {
        opened.push_back(address);
        return true;
    }
    std::vector<std::string> opened;
};

std::string actionError(const std::string& text) {
    auto result = decodeMacroAction(json::parse(text));
    return result.ok() ? "decoded" : result.error().text();
}
} // namespace

TEST(MacroAction, JsonFormOfEveryCaseRoundTrips) {
    const std::pair<MacroAction, const char*> cases[] = {
        {MacroAction::none(), R"({"none":{}})"},
        {MacroAction::log("hi"), R"({"log":{"_0":"hi"}})"},
        {MacroAction::openURL("a:b"), R"({"openURL":{"_0":"a:b"}})"},
        {MacroAction::shellCommand("ls"), R"({"shellCommand":{"_0":"ls"}})"}};
    for (const auto& [action, text] : cases) {
        EXPECT_EQ(toJson(action).dump(), text);
        EXPECT_EQ(decodeMacroAction(toJson(action)).value(), action);
    }
    const MacroMapping m{36, VelocityTier::slam, MacroAction::log("slam!")};
    EXPECT_EQ(toJson(m), json::parse(R"({"keyCode":36,"tier":4,"action":{"log":{"_0":"slam!"}}})"));
    auto all = decodeMacroMappings(toJson(std::vector<MacroMapping>{m, {}}).dump());
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all.value(), (std::vector<MacroMapping>{m, {}}));
}

TEST(MacroAction, DecodingErrors) {
    const std::pair<std::string, std::string> actions[] = {
        {R"({"log":{"_0":"a"},"none":{}})", "$: Invalid number of keys found, expected one."},
        // A key that escapes to a line break or a NUL stays quoted in one line.
        {R"({"a\nb\u0000":{}})",
         R"($: unknown action "a\nb\u0000" (expected none, log, openURL or shellCommand))"},
        {R"({"log":{"_0":5}})", "$.log._0: expected a string, found a number"},
        {R"({"none":{"extra":1}})", "decoded"},
    };
    for (const auto& [text, message] : actions) {
        EXPECT_EQ(actionError(text), message);
    }
    auto mappingError = [](const std::string& text) {
        auto result = decodeMacroMappings(text);
        return result.ok() ? "decoded" : result.error().text();
    };
    // A long value is cut for the message before a character, never inside
    // one: the message stays valid UTF-8. A value nested far deeper than any
    // message shows is cut by depth too; quoting it whole used to recurse once
    // per level and overflow the stack.
    std::string accents;
    for (int i = 0; i < 40; ++i) {
        accents += "\xC3\xA9";
    }
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const std::string keyCode = "$[0].keyCode: expected a key code 0..65535, found ";
    const std::pair<std::string, std::string> mappings[] = {
        {R"([{"keyCode":1,"tier":5,"action":{"none":{}}}])", "$[0].tier: expected a tier 0..4, found 5"},
        {R"([{"keyCode":65536,"tier":1,"action":{"none":{}}}])", keyCode + "65536"},
        {R"([{"keyCode":)" + deep + R"(,"tier":1,"action":{"none":{}}}])",
         keyCode + std::string(16, '[') + "[...]" + std::string(16, ']')},
    };
    for (const auto& [text, message] : mappings) {
        EXPECT_EQ(mappingError(text), message);
    }
    EXPECT_NE(mappingError("[{"), "decoded");
    const std::string cut =
        mappingError(R"([{"keyCode":"x)" + accents + R"(","tier":1,"action":{"none":{}}}])");
    EXPECT_EQ(cut.rfind(keyCode + "\"x\xC3\xA9", 0), 0u);
    EXPECT_NO_THROW((void)json(cut).dump()) << "not UTF-8: " << cut;
}

TEST(MacroRouter, RoutesOnlyWhenEnabledAndForTheBoundTier) {
    MacroRouter router;
    router.setMapping(36, VelocityTier::hard, MacroAction::log("hard return"));
    EXPECT_FALSE(router.route(36, VelocityTier::hard)) << "disabled";
    router.setEnabled(true);
    EXPECT_EQ(router.route(36, VelocityTier::hard), MacroAction::log("hard return"));
    EXPECT_FALSE(router.route(36, VelocityTier::slam));
    EXPECT_FALSE(router.route(37, VelocityTier::hard));
    router.setMapping(36, VelocityTier::hard, MacroAction::none());
    EXPECT_EQ(router.route(36, VelocityTier::hard), MacroAction::none());

    router.loadMappings({{1, VelocityTier::soft, MacroAction::log("first")},
                         {1, VelocityTier::soft, MacroAction::log("second")}});
    EXPECT_EQ(router.route(1, VelocityTier::soft), MacroAction::log("second"));
    EXPECT_FALSE(router.route(36, VelocityTier::hard)) << "loadMappings replaces everything";
    router.loadMappings({});
    EXPECT_FALSE(router.route(1, VelocityTier::soft));
}

TEST(MacroRouter, ExecuteLogsOpensAndRefusesShellCommands) {
    RecordingOpener opener;
    MacroRouter router(&opener);
    LogCapture log;
    router.execute(MacroAction::none());
    router.execute(MacroAction::log("hello %@ world"));
    router.execute(MacroAction::shellCommand("touch /tmp/clavio-should-not-exist"));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"[Clavio Macro] hello %@ world",
                                        "[Clavio Macro] Shell commands not yet enabled"}));
    EXPECT_FALSE(std::filesystem::exists("/tmp/clavio-should-not-exist"));

    for (const char* address : {"", "no scheme", "/etc/passwd", "-n", "://x", "ht tp://x",
                                "https://x\nsecond line", "1http://x", "mailto:",
                                "https://example.org/?q=a;b&c=$(x)", "mailto:someone@example.org"}) {
        router.execute(MacroAction::openURL(address));
    }
    EXPECT_EQ(opener.opened, (std::vector<std::string>{"https://example.org/?q=a;b&c=$(x)",
                                                       "mailto:someone@example.org"}));
    EXPECT_EQ(log.lines().size(), 2u) << "refused addresses are ignored silently";
    MacroRouter noOpener;
    noOpener.execute(MacroAction::openURL("https://example.org"));
}

