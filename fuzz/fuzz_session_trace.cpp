// Session traces: the input is a whole small trace read through TraceReader
// from a stream, as replay and the trace checks read files.
// Properties: no crash or sanitizer report on any bytes; an error is one line
// naming the source and a line no later than the last one read; records come
// in time order; the records read before the end (or the error) survive
// TraceWriter -> TraceReader unchanged; summarizeTrace counts the same
// records and reports the same error.
// Seeds: excerpts of the demo trace and hand-written edge cases, plus the
// generated demo trace itself, of which libFuzzer keeps the first 8 KB.
// fuzz-max-len: 8192
// fuzz-dict: trace.dict
// fuzz-seeds: share/clavio/demo/demo.trace.jsonl

#include "engine/replay/session_trace.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    TraceReader reader(std::make_unique<std::istringstream>(text), "fuzz.trace");
    std::vector<TraceRecord> records;
    TraceRecord record;
    while (reader.next(record)) {
        CLAVIO_FUZZ_CHECK(records.empty() || record.t >= records.back().t);
        records.push_back(record);
    }
    CLAVIO_FUZZ_CHECK(!reader.next(record));
    const auto& error = reader.error();
    if (error) {
        const std::string line = error->text();
        CLAVIO_FUZZ_CHECK(fuzz::isOneLine(line));
        CLAVIO_FUZZ_CHECK(line.rfind("fuzz.trace: line ", 0) == 0);
        CLAVIO_FUZZ_CHECK(error->line >= 1 && error->line <= reader.lineNumber() + 1);
    }

    // Written back and read again: the same records, and no error.
    std::ostringstream rewritten;
    TraceWriter writer(rewritten);
    for (const auto& r : records) {
        CLAVIO_FUZZ_CHECK(writer.write(r));
    }
    std::vector<TraceRecord> again;
    const auto againError = parseTrace(rewritten.str(), again, "rewritten");
    CLAVIO_FUZZ_CHECK(!againError);
    CLAVIO_FUZZ_CHECK(again == records);

    TraceReader counting(std::make_unique<std::istringstream>(text), "fuzz.trace");
    TraceSummary summary;
    const auto summaryError = summarizeTrace(counting, summary);
    CLAVIO_FUZZ_CHECK(summary.records() == records.size());
    CLAVIO_FUZZ_CHECK(summaryError.has_value() == error.has_value());
    if (error) {
        CLAVIO_FUZZ_CHECK(summaryError->text() == error->text());
    }
    return 0;
}
