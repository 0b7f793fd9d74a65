// Reading a session trace: the streaming reader against two references
// measured in the same run, splitting the text into lines (the floor) and
// parsing every line with nlohmann::json alone (the parser the reader uses).
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "engine/replay/session_trace.h"
#include "engine/sensing/accel_report.h"

namespace {

// 20 s of a 1 kHz sensor and 200 key events, like the demo session.
const std::string& traceText() {
    static const std::string text = [] {
        std::ostringstream out;
        clavio::TraceWriter writer(out);
        std::uint8_t report[clavio::kAccelReportLength];
        for (std::uint64_t i = 0; i < 20000; ++i) {
            clavio::encodeAccelReport(0.01 * double(i % 7), -0.02, 1.0 + 1e-4 * double(i % 13),
                                      report);
            writer.writeAccel(1'000'000'000 + i * 1'000'000, report, sizeof report);
            if (i % 100 == 50) {
                writer.writeKey(1'000'000'000 + i * 1'000'000,
                                {clavio::TraceKeyKind::down, std::uint16_t(i % 40), 0, false});
            }
        }
        return out.str();
    }();
    return text;
}

void BM_TraceReader(benchmark::State& state) {
    std::size_t records = 0;
    for (auto _ : state) {
        clavio::TraceReader reader(std::make_unique<std::istringstream>(traceText()), "bench");
        clavio::TraceRecord record;
        records = 0;
        while (reader.next(record)) {
            ++records;
        }
        benchmark::DoNotOptimize(records);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * records));
}
BENCHMARK(BM_TraceReader)->Unit(benchmark::kMillisecond);

void BM_ReferenceSplitLines(benchmark::State& state) {
    std::size_t lines = 0;
    for (auto _ : state) {
        std::istringstream in(traceText());
        lines = 0;
        for (std::string line; std::getline(in, line);) {
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * lines));
}
BENCHMARK(BM_ReferenceSplitLines)->Unit(benchmark::kMillisecond);

void BM_ReferenceJsonParseOnly(benchmark::State& state) {
    std::size_t lines = 0;
    for (auto _ : state) {
        std::istringstream in(traceText());
        lines = 0;
        for (std::string line; std::getline(in, line);) {
            benchmark::DoNotOptimize(nlohmann::json::parse(line));
            ++lines;
        }
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * lines));
}
BENCHMARK(BM_ReferenceJsonParseOnly)->Unit(benchmark::kMillisecond);

} // namespace
