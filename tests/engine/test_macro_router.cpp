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
    EXPECT_EQ(toJson(MacroAction::none()).dump(), R"({"none":{}})");
    EXPECT_EQ(toJson(MacroAction::log("hi")).dump(), R"({"log":{"_0":"hi"}})");
    EXPECT_EQ(toJson(MacroAction::openURL("https://x.org")).dump(),
              R"({"openURL":{"_0":"https://x.org"}})");
    EXPECT_EQ(toJson(MacroAction::shellCommand("ls")).dump(), R"({"shellCommand":{"_0":"ls"}})");
    for (const auto& a : {MacroAction::none(), MacroAction::log(""), MacroAction::openURL("a:b"),
                          MacroAction::shellCommand("rm -rf ~")}) {
        auto back = decodeMacroAction(toJson(a));
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back.value(), a);
    }
    const MacroMapping m{36, VelocityTier::slam, MacroAction::log("slam!")};
    EXPECT_EQ(toJson(m), json::parse(R"({"keyCode":36,"tier":4,"action":{"log":{"_0":"slam!"}}})"));
    auto all = decodeMacroMappings(toJson(std::vector<MacroMapping>{m, {}}).dump());
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all.value(), (std::vector<MacroMapping>{m, {}}));
}

TEST(MacroAction, DecodingErrors) {
    EXPECT_EQ(actionError(R"({"log":{"_0":"a"},"none":{}})"),
              "$: Invalid number of keys found, expected one.");
    EXPECT_NE(actionError(R"({"launch":{"_0":"a"}})").find("unknown action \"launch\""),
              std::string::npos);
    // A key that escapes to a line break or a NUL stays quoted in one line.
    EXPECT_EQ(actionError(R"({"a\nb\u0000":{}})"),
              R"($: unknown action "a\nb\u0000" (expected none, log, openURL or )"
              R"(shellCommand))");
    EXPECT_EQ(actionError(R"({"log":{}})"), "$.log._0: required member is missing");
    EXPECT_EQ(actionError(R"({"log":{"_0":5}})"), "$.log._0: expected a string, found a number");
    EXPECT_EQ(actionError(R"(["log"])"), "$: expected an object, found an array");
    EXPECT_EQ(actionError(R"({"none":{"extra":1}})"), "decoded");

    auto mappingError = [](const std::string& text) {
        auto result = decodeMacroMappings(text);
        return result.ok() ? "decoded" : result.error().text();
    };
    EXPECT_EQ(mappingError(R"([{"keyCode":1,"tier":5,"action":{"none":{}}}])"),
              "$[0].tier: expected a tier 0..4, found 5");
    EXPECT_EQ(mappingError(R"([{"keyCode":65536,"tier":1,"action":{"none":{}}}])"),
              "$[0].keyCode: expected a key code 0..65535, found 65536");
    EXPECT_EQ(mappingError(R"([{"keyCode":1,"tier":1,"action":{}}])"),
              "$[0].action: Invalid number of keys found, expected one.");
    EXPECT_EQ(mappingError(R"({"keyCode":1})"),
              "$: expected an array of mappings, found an object");
    EXPECT_NE(mappingError("[{"), "decoded");
    // A long value is cut for the message before a character, never inside
    // one: the message stays valid UTF-8.
    std::string accents;
    for (int i = 0; i < 40; ++i) {
        accents += "\xC3\xA9";
    }
    const std::string cut =
        mappingError(R"([{"keyCode":"x)" + accents + R"(","tier":1,"action":{"none":{}}}])");
    EXPECT_EQ(cut.rfind("$[0].keyCode: expected a key code 0..65535, found \"x\xC3\xA9", 0), 0u);
    EXPECT_NO_THROW((void)json(cut).dump()) << "not UTF-8: " << cut;
    // A value nested far deeper than any message shows is cut by depth too;
    // quoting it whole used to recurse once per level and overflow the stack.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(mappingError(R"([{"keyCode":)" + deep + R"(,"tier":1,"action":{"none":{}}}])"),
              "$[0].keyCode: expected a key code 0..65535, found " + std::string(16, '[') +
                  "[...]" + std::string(16, ']'));
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

    for (const char* refused : {"", "no scheme", "/etc/passwd", "-n", "://x", "ht tp://x",
                                "https://x\nsecond line", "1http://x", "mailto:"}) {
        router.execute(MacroAction::openURL(refused));
    }
    router.execute(MacroAction::openURL("https://example.org/?q=a;b&c=$(x)"));
    router.execute(MacroAction::openURL("mailto:someone@example.org"));
    EXPECT_EQ(opener.opened, (std::vector<std::string>{"https://example.org/?q=a;b&c=$(x)",
                                                       "mailto:someone@example.org"}));
    EXPECT_EQ(log.lines().size(), 2u) << "refused addresses are ignored silently";
    MacroRouter noOpener;
    noOpener.execute(MacroAction::openURL("https://example.org"));
}

