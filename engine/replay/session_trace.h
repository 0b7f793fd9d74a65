// Session traces, format v1: a recorded or synthesised session of key events,
// accelerometer reports and (only when asked for) microphone blocks on one
// clock, as JSON Lines.
//
//   {"format":"clavio-trace","version":1}
//   {"t":1000000000,"accel":"00000000000000000000000000000000010000000000"}
//   {"t":1001000000,"mic":"AAAAAAAAgD8AAIC/","rate":48000}
//   {"t":1002000000,"key":"down","code":0,"flags":0,"repeat":false}
//   {"t":1090000000,"key":"up","code":0,"flags":0}
//   {"t":1500000000,"key":"flags","code":56,"flags":131072}
//
// The reader is strict, because nothing may be rendered from a broken trace:
// - the first line must be the header; another format, or a version newer
//   than kTraceVersion, is refused;
// - every record is one JSON object with an unsigned 64-bit "t" and exactly
//   one of "accel" (hex digits, any number of whole bytes; a report that is
//   not 22 bytes long is kept and later skipped by the report decoder, as a
//   live one would be), "key" ("down" / "up" / "flags" with an unsigned
//   16-bit "code", an unsigned 32-bit "flags" and, for "down", a boolean
//   "repeat") or "mic" (padded standard base64 of little-endian float32 mono
//   samples, at least one, all finite, with an integer "rate" in Hz from
//   kTraceMicMinRate to kTraceMicMaxRate; the first sample was captured at
//   "t"; blocks come in time order and may have any length);
// - times never go backwards (equal times are fine). A trace is in time
//   order by definition, and replay re-bases times on the first record, so
//   an earlier record after a later one could only be delivered late: it is
//   an error, not something to repair silently;
// - the span from the first record to the last is at most kTraceMaxSpanTicks
//   (a day): a longer one is a damaged time stamp, not a recording, and
//   replaying or rendering it would mean waiting or rendering for years;
// - members the reader does not know are ignored (newer writers may add
//   some); blank lines are allowed only at the end;
// - every error names its line (1 is the header).
//
// Threading: a reader or writer belongs to one thread at a time. Nothing here
// is real-time code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/atomic_file.h"

namespace clavio {

inline constexpr std::string_view kTraceFormat = "clavio-trace";
inline constexpr std::int64_t kTraceVersion = 1;
// Longest line accepted. A report of 4096 bytes (the largest HID report
// buffer) takes 8192 hex digits, far below this.
inline constexpr std::size_t kTraceMaxLineLength = 65536;

// Sample rates a "mic" record may carry.
inline constexpr std::uint32_t kTraceMicMinRate = 1000;
inline constexpr std::uint32_t kTraceMicMaxRate = 384000;
// Most samples the writer puts on one "mic" line (43692 base64 characters);
// a longer block is written as several records.
inline constexpr std::size_t kTraceMicMaxSamplesPerLine = 8192;

// Longest span from the first record to the last: 24 hours.
inline constexpr std::uint64_t kTraceMaxSpanTicks = 24ull * 3600ull * 1'000'000'000ull;

enum class TraceKeyKind : std::uint8_t {
    down,  // "down": a key press or an autorepeat
    up,    // "up": a key release
    flags, // "flags": a modifier change carrying the raw modifier flags
};

std::string_view name(TraceKeyKind kind) noexcept;

// A key record as the capture saw it: the raw flags are not masked yet, and
// "flags" records are not yet told apart into presses and releases; replay
// hands them to the same event logic as live capture.
struct TraceKey {
    TraceKeyKind kind = TraceKeyKind::down;
    std::uint16_t code = 0;
    std::uint32_t flags = 0;
    bool repeat = false; // only meaningful for "down"

    friend bool operator==(const TraceKey&, const TraceKey&) = default;
};

struct TraceRecord {
    enum class Type : std::uint8_t { accel, key, mic };

    std::uint64_t t = 0;
    Type type = Type::accel;
    TraceKey key;                    // when type == key
    std::vector<std::uint8_t> accel; // when type == accel: the raw report bytes
    std::vector<float> mic;          // when type == mic: the block's samples
    std::uint32_t rate = 0;          // when type == mic: its sample rate in Hz

    static TraceRecord makeAccel(std::uint64_t t, const std::uint8_t* report, std::size_t length);
    static TraceRecord makeKey(std::uint64_t t, TraceKey key);
    static TraceRecord makeMic(std::uint64_t t, const float* samples, std::size_t count,
                               std::uint32_t rate);
    friend bool operator==(const TraceRecord&, const TraceRecord&) = default;
};

struct TraceError {
    std::string source;   // file name or a caller's label; may be empty
    std::size_t line = 0; // 1-based; 0 when the error is not about one line
    std::string message;

    // "<source>: line <n>: <message>", leaving out what is absent.
    std::string text() const;
};

// Streaming reader: one line in memory at a time, so a long trace is never
// held whole. The header is read and checked by the constructor.
class TraceReader {
public:
    explicit TraceReader(const std::filesystem::path& path);
    // Reads from any stream; `source` names it in errors.
    TraceReader(std::unique_ptr<std::istream> in, std::string source);
    ~TraceReader();
    TraceReader(TraceReader&&) noexcept;
    TraceReader& operator=(TraceReader&&) noexcept;

    // Reads the next record into `out`, reusing its storage. Returns false
    // at the end of the trace or on an error; error() tells which. After
    // false every further call returns false.
    bool next(TraceRecord& out);
    const std::optional<TraceError>& error() const { return _error; }
    // Number of the last line read.
    std::size_t lineNumber() const { return _line; }

private:
    bool fail(std::size_t line, std::string message);
    bool readLine(std::string_view& line);
    void readHeader();

    std::unique_ptr<std::istream> _in;
    std::string _source;
    std::vector<char> _buffer;
    std::size_t _line = 0;
    std::size_t _blankLine = 0; // first blank line not yet followed by a record
    std::optional<std::uint64_t> _firstTicks;
    std::optional<std::uint64_t> _lastTicks;
    std::optional<TraceError> _error;
    bool _done = false;
};

// Whole-trace reads, for short traces and tests. `out` is replaced; on an
// error it holds the records before the bad line.
std::optional<TraceError> readTrace(const std::filesystem::path& path,
                                    std::vector<TraceRecord>& out);
std::optional<TraceError> parseTrace(std::string_view text, std::vector<TraceRecord>& out,
                                     std::string source = {});

struct TraceSummary {
    std::uint64_t keyDowns = 0; // including autorepeats
    std::uint64_t repeats = 0;
    std::uint64_t keyUps = 0;
    std::uint64_t flagChanges = 0;
    std::uint64_t accelReports = 0; // including those of the wrong length
    std::uint64_t accelWrongLength = 0;
    std::uint64_t micBlocks = 0;
    std::uint64_t micSamples = 0;
    std::uint32_t micRate = 0; // the last block's
    std::optional<std::uint64_t> firstTicks;
    std::optional<std::uint64_t> lastTicks;

    std::uint64_t records() const { return keyDowns + keyUps + flagChanges + accelReports + micBlocks; }
    // Ticks from the first record to the last, 0 for an empty trace.
    std::uint64_t durationTicks() const;
};

// Reads a trace to its end, counting its records. Validates it on the way:
// a summary is only complete when no error is returned.
std::optional<TraceError> summarizeTrace(TraceReader& reader, TraceSummary& out);

// A whole trace read in one pass (so a pipe or a FIFO can be a trace) and
// held compactly: 32 bytes a record, report bytes packed in one buffer.
// The most memory a trace read whole may take (records and report bytes).
inline constexpr std::uint64_t kMaxLoadedTraceBytes = 4ull << 30;

class LoadedTrace {
public:
    // 16 bytes a record: a day of 1 kHz reports is 86 million of them.
    struct Record {
        std::uint64_t t = 0;
        // Accel: the report's offset into the report bytes. Key: its flags.
        // Mic: the offset of its rate (4 bytes) and samples in those bytes.
        std::uint32_t word = 0;
        // Accel: the report's length (a line holds at most 32 KiB of it).
        // Key: its code. Mic: its sample count (at most 12288 on a line).
        std::uint16_t half = 0;
        TraceRecord::Type type = TraceRecord::Type::accel;
        std::uint8_t keyBits = 0; // key: kind, and repeat in bit 7
    };
    static_assert(sizeof(Record) == 16);

    const std::deque<Record>& records() const noexcept { return _records; }
    const TraceSummary& summary() const noexcept { return _summary; }
    // The file, or the caller's label.
    const std::string& source() const noexcept { return _source; }
    // Record `index` in the reader's form, reusing `out`'s storage.
    void get(std::size_t index, TraceRecord& out) const;

    // Reads `reader` to its end. Null, with `error` set, for a malformed
    // trace (the reader's checks, including the span limit).
    static std::shared_ptr<const LoadedTrace> read(TraceReader& reader, std::string source,
                                                   std::optional<TraceError>& error);
    static std::shared_ptr<const LoadedTrace> read(const std::filesystem::path& path,
                                                   std::optional<TraceError>& error);

private:
    // Chunked, not contiguous: a vector's growth would hold the old and the
    // new copy at once, three times the trace's size at its peak.
    std::deque<Record> _records;
    std::deque<std::uint8_t> _accel;
    TraceSummary _summary;
    std::string _source;
};

// Streaming writer: the header at construction, then one line per record,
// lower-case hex, members in the order of the format's examples.
class TraceWriter {
public:
    explicit TraceWriter(std::ostream& out);

    // Each returns false, writing nothing, when `t` is earlier than the last
    // record's (readers refuse such a trace; the caller must merge its
    // sources in time order), and false when the stream has failed.
    bool write(const TraceRecord& record);
    bool writeAccel(std::uint64_t t, const std::uint8_t* report, std::size_t length);
    bool writeKey(std::uint64_t t, const TraceKey& key);
    // A block of `count` samples at `rate` Hz, the first at `t`; a block
    // longer than kTraceMicMaxSamplesPerLine goes on several lines, each
    // stamped with the time of its first sample. A non-finite sample is
    // written as 0 (readers refuse it). False, writing nothing, for an empty
    // block or a rate outside the format's range.
    bool writeMic(std::uint64_t t, const float* samples, std::size_t count, std::uint32_t rate);

    bool ok() const;
    std::uint64_t recordsWritten() const { return _records; }

private:
    bool accept(std::uint64_t t);

    std::ostream& _out;
    std::string _line;
    std::optional<std::uint64_t> _lastTicks;
    std::uint64_t _records = 0;
};

// A trace written to a file: nothing appears under `path` until finish()
// succeeds, and a writer destroyed unfinished leaves no file behind. A trace
// logs every key code typed, so only its owner may read it (0600).
class TraceFileWriter {
public:
    explicit TraceFileWriter(std::filesystem::path path,
                             ExistingFile existing = ExistingFile::replace);

    const std::optional<std::string>& openError() const { return _file.openError(); }
    TraceWriter& writer() { return _writer; }
    // Flushes and moves the trace into place. Returns an error naming the
    // path on failure, in which case no file is left.
    std::optional<std::string> finish();

private:
    AtomicFileStream _file;
    TraceWriter _writer;
};

} // namespace clavio
