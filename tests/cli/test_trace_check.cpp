#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "tests/support/test_support.h"

using clavio::testing::readFile;
using clavio::testing::TempDir;
using clavio::testing::writeFile;

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun runCli(const std::string& args, const TempDir& dir) {
    const auto out = dir / "stdout.txt";
    const auto err = dir / "stderr.txt";
    const std::string command = std::string(CLAVIO_BUILD_DIR) + "/bin/clavio-cli " + args + " >" +
                                out.string() + " 2>" + err.string();
    const int raw = std::system(command.c_str());
    CliRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readFile(out);
    run.err = readFile(err);
    return run;
}

} // namespace

TEST(TraceCheckCommand, CountsTheRecordsOfAGoodTrace) {
    TempDir dir;
    const auto trace = dir / "t.jsonl";
    writeFile(trace,
              "{\"format\":\"clavio-trace\",\"version\":1}\n"
              "{\"t\":1000000000,\"accel\":\"00000000000000000000000000000000010000000000\"}\n"
              "{\"t\":1002000000,\"key\":\"down\",\"code\":0,\"flags\":0,\"repeat\":false}\n"
              "{\"t\":1003000000,\"accel\":\"0000\"}\n"
              "{\"t\":1090000000,\"key\":\"up\",\"code\":0,\"flags\":0}\n"
              "{\"t\":3500000000,\"key\":\"flags\",\"code\":56,\"flags\":131072}\n");
    const CliRun run = runCli("trace-check " + trace.string(), dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("key downs:        1 (0 autorepeat)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("key ups:          1"), std::string::npos);
    EXPECT_NE(run.out.find("modifier changes: 1"), std::string::npos);
    EXPECT_NE(run.out.find("accel reports:    2 (1 of the wrong length"), std::string::npos);
    EXPECT_NE(run.out.find("duration:         2.500 s"), std::string::npos);
}

TEST(TraceCheckCommand, BrokenOrMissingTraceFailsWithTheLine) {
    TempDir dir;
    const auto trace = dir / "bad.jsonl";
    writeFile(trace, "{\"format\":\"clavio-trace\",\"version\":1}\n"
                     "{\"t\":5,\"key\":\"up\",\"code\":0,\"flags\":0}\n"
                     "{\"t\":6,\"accel\":\"xyz0\"}\n");
    CliRun run = runCli("trace-check " + trace.string(), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("bad.jsonl: line 3: \"accel\" is not hex"), std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);

    run = runCli("trace-check " + (dir / "absent.jsonl").string(), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("absent.jsonl"), std::string::npos);
}

TEST(TraceCheckCommand, DemoNamesTheBundledSession) {
    TempDir dir;
    const CliRun run = runCli("trace-check demo", dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("demo.trace.jsonl"), std::string::npos);
    EXPECT_NE(run.out.find("accel rate:       1000."), std::string::npos) << run.out;
}
