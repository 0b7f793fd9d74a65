#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "engine/core/json_support.h"
#include "engine/replay/session_trace.h"
#include "engine/sensing/accel_report.h"

namespace clavio {

namespace {

using Json = nlohmann::json;

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool isBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Parses one line as JSON. Returns an error text, or nothing on success.
std::optional<std::string> parseJson(std::string_view line, Json& out) {
    try {
        out = Json::parse(line);
        return std::nullopt;
    } catch (const Json::parse_error& e) {
        // nlohmann's text starts with its own "[json.exception...] parse error
        // at line 1, column N:"; keep the column and the reason only.
        std::string what = e.what();
        const auto colon = what.find(": ", what.find("column"));
        std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
        return "bad JSON at column " + std::to_string(e.byte) + ": " + reason;
    } catch (const Json::exception& e) {
        // Valid syntax the library still refuses, such as a number beyond the
        // range of a double ("1e400": out_of_range 406). Drop the
        // "[json.exception...] " prefix.
        std::string what = e.what();
        if (const auto close = what.find("] "); close != std::string::npos) {
            what.erase(0, close + 2);
        }
        return "bad JSON: " + what;
    }
}

// A character of a bad value for an error line: itself when printable
// ASCII, else its byte value, so the line stays one line of plain text.
std::string shownCharacter(char c) {
    if (c >= 0x20 && c < 0x7f) {
        return std::string("'") + c + "'";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0xF];
}

// A member that must be an unsigned integer no larger than `max`.
std::optional<std::string> unsignedMember(const Json& object, const char* key, std::uint64_t max,
                                          std::uint64_t& out) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return std::string("missing \"") + key + "\"";
    }
    if (!it->is_number_unsigned() || it->get<std::uint64_t>() > max) {
        const std::string range = max == std::numeric_limits<std::uint64_t>::max()
                                      ? "an unsigned 64-bit integer"
                                      : "an integer from 0 to " + std::to_string(max);
        return std::string("\"") + key + "\" must be " + range + ", not " +
               json_support::shortDump(*it);
    }
    out = it->get<std::uint64_t>();
    return std::nullopt;
}

std::optional<std::string> decodeHex(const std::string& hex, std::vector<std::uint8_t>& out) {
    if (hex.size() % 2 != 0) {
        return "\"accel\" must hold whole bytes, not " + std::to_string(hex.size()) + " hex digits";
    }
    out.resize(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hexValue(hex[i]);
        const int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            const std::size_t bad = hi < 0 ? i : i + 1;
            return "\"accel\" is not hex: character " + std::to_string(bad + 1) + " is " +
                   shownCharacter(hex[bad]);
        }
        out[i / 2] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return std::nullopt;
}

int base64Value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Strict padded base64 of little-endian float32 samples, all finite.
std::optional<std::string> decodeMic(const std::string& text, std::vector<float>& out) {
    if (text.empty() || text.size() % 4 != 0) {
        return "\"mic\" must be padded base64 of at least one sample, not " +
               std::to_string(text.size()) + " characters";
    }
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    const std::size_t bytes = text.size() / 4 * 3 - padding;
    if (bytes % 4 != 0) {
        return "\"mic\" must hold whole float32 samples, not " + std::to_string(bytes) + " bytes";
    }
    out.resize(bytes / 4);
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t byte = 0;
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const int v = base64Value(text[i]);
        if (v < 0) {
            return "\"mic\" is not base64: character " + std::to_string(i + 1) + " is " +
                   shownCharacter(text[i]);
        }
        bits = (bits << 6) | std::uint32_t(v);
        held += 6;
        if (held < 8) {
            continue;
        }
        held -= 8;
        if (byte == bytes) {
            break; // the padding's zero bits
        }
        word |= ((bits >> held) & 0xFF) << (8 * (byte % 4));
        if (++byte % 4 == 0) {
            const float sample = std::bit_cast<float>(word);
            if (!std::isfinite(sample)) {
                return "\"mic\" sample " + std::to_string(byte / 4) + " is not a finite number";
            }
            out[byte / 4 - 1] = sample;
            word = 0;
        }
    }
    return std::nullopt;
}

// Fills `out` from a record object. Returns an error text on a bad record.
std::optional<std::string> decodeRecord(const Json& object, TraceRecord& out) {
    if (!object.is_object()) {
        return "a record must be a JSON object";
    }
    std::uint64_t t = 0;
    if (auto error = unsignedMember(object, "t", std::numeric_limits<std::uint64_t>::max(), t)) {
        return error;
    }
    out.t = t;
    const auto accel = object.find("accel");
    const auto key = object.find("key");
    const auto mic = object.find("mic");
    if (int(accel != object.end()) + int(key != object.end()) + int(mic != object.end()) > 1) {
        return "a record holds one of \"accel\", \"key\" or \"mic\", not several";
    }
    if (mic != object.end()) {
        if (!mic->is_string()) {
            return "\"mic\" must be a string of base64";
        }
        std::uint64_t rate = 0;
        if (auto error = unsignedMember(object, "rate", std::numeric_limits<std::uint32_t>::max(),
                                        rate)) {
            return error;
        }
        if (rate < kTraceMicMinRate || rate > kTraceMicMaxRate) {
            return "\"rate\" must be from " + std::to_string(kTraceMicMinRate) + " to " +
                   std::to_string(kTraceMicMaxRate) + " Hz, not " + std::to_string(rate);
        }
        out.type = TraceRecord::Type::mic;
        out.rate = std::uint32_t(rate);
        out.key = TraceKey{};
        out.accel.clear();
        return decodeMic(mic->get_ref<const std::string&>(), out.mic);
    }
    if (accel != object.end()) {
        if (!accel->is_string()) {
            return "\"accel\" must be a string of hex digits";
        }
        out.type = TraceRecord::Type::accel;
        out.key = TraceKey{};
        out.mic.clear();
        out.rate = 0;
        return decodeHex(accel->get_ref<const std::string&>(), out.accel);
    }
    if (key == object.end()) {
        return "a record needs \"accel\", \"key\" or \"mic\"";
    }
    if (!key->is_string()) {
        return "\"key\" must be a string";
    }
    const auto& kind = key->get_ref<const std::string&>();
    TraceKey parsed;
    if (kind == "down") {
        parsed.kind = TraceKeyKind::down;
    } else if (kind == "up") {
        parsed.kind = TraceKeyKind::up;
    } else if (kind == "flags") {
        parsed.kind = TraceKeyKind::flags;
    } else {
        return "unknown key kind " + json_support::shortDump(*key) +
               " (expected \"down\", \"up\" or \"flags\")";
    }
    std::uint64_t value = 0;
    if (auto error =
            unsignedMember(object, "code", std::numeric_limits<std::uint16_t>::max(), value)) {
        return error;
    }
    parsed.code = static_cast<std::uint16_t>(value);
    if (auto error =
            unsignedMember(object, "flags", std::numeric_limits<std::uint32_t>::max(), value)) {
        return error;
    }
    parsed.flags = static_cast<std::uint32_t>(value);
    if (parsed.kind == TraceKeyKind::down) {
        const auto repeat = object.find("repeat");
        if (repeat == object.end()) {
            return "missing \"repeat\"";
        }
        if (!repeat->is_boolean()) {
            return "\"repeat\" must be true or false, not " + json_support::shortDump(*repeat);
        }
        parsed.repeat = repeat->get<bool>();
    }
    out.type = TraceRecord::Type::key;
    out.key = parsed;
    out.accel.clear();
    out.mic.clear();
    out.rate = 0;
    return std::nullopt;
}

} // namespace

std::string_view name(TraceKeyKind kind) noexcept {
    switch (kind) {
    case TraceKeyKind::down:
        return "down";
    case TraceKeyKind::up:
        return "up";
    case TraceKeyKind::flags:
        return "flags";
    }
    return "down";
}

TraceRecord TraceRecord::makeAccel(std::uint64_t t, const std::uint8_t* report,
                                   std::size_t length) {
    TraceRecord r;
    r.t = t;
    r.type = Type::accel;
    r.accel.assign(report, report + length);
    return r;
}

TraceRecord TraceRecord::makeMic(std::uint64_t t, const float* samples, std::size_t count,
                                 std::uint32_t rate) {
    TraceRecord r;
    r.t = t;
    r.type = Type::mic;
    r.mic.assign(samples, samples + count);
    r.rate = rate;
    return r;
}

TraceRecord TraceRecord::makeKey(std::uint64_t t, TraceKey key) {
    TraceRecord r;
    r.t = t;
    r.type = Type::key;
    r.key = key;
    if (key.kind != TraceKeyKind::down) {
        r.key.repeat = false;
    }
    return r;
}

std::string TraceError::text() const {
    std::string s = source;
    if (line > 0) {
        s += (s.empty() ? "" : ": ") + std::string("line ") + std::to_string(line);
    }
    return s + (s.empty() ? "" : ": ") + message;
}

TraceReader::TraceReader(const std::filesystem::path& path)
    : _source(path.string()), _buffer(kTraceMaxLineLength + 1) {
    // A folder opens as a stream on Linux and only fails at the first read.
    if (std::error_code ec; std::filesystem::is_directory(path, ec)) {
        fail(0, "is a folder, not a trace");
        return;
    }
    _in = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*_in) {
        fail(0, "cannot open the trace for reading");
        return;
    }
    readHeader();
}

TraceReader::TraceReader(std::unique_ptr<std::istream> in, std::string source)
    : _in(std::move(in)), _source(std::move(source)), _buffer(kTraceMaxLineLength + 1) {
    if (!_in || !*_in) {
        fail(0, "cannot open the trace for reading");
        return;
    }

    readHeader();
}

TraceReader::~TraceReader() = default;
TraceReader::TraceReader(TraceReader&&) noexcept = default;
TraceReader& TraceReader::operator=(TraceReader&&) noexcept = default;

bool TraceReader::fail(std::size_t line, std::string message) {
    if (!_error) {
        _error = TraceError{_source, line, std::move(message)};
    }
    _done = true;
    return false;
}

// Reads the next line into the buffer. False at the end of the input or on
// an error (then recorded).
bool TraceReader::readLine(std::string_view& line) {
    _in->getline(_buffer.data(), std::streamsize(_buffer.size()));
    const auto count = _in->gcount();
    if (_in->bad()) {
        return fail(_line + 1, "read error");
    }
    if (_in->fail()) {
        if (_in->eof() && count == 0) {
            return false; // clean end of input
        }
        return fail(_line + 1,
                    "line longer than " + std::to_string(kTraceMaxLineLength) + " bytes");
    }
    ++_line;
    // gcount includes the extracted newline, which getline does not store;
    // a last line without one ends at the end of the input instead.
    const std::size_t stored = std::size_t(count) - (_in->eof() ? 0 : 1);
    std::size_t length = std::strlen(_buffer.data());
    if (length != stored) {
        return fail(_line, "line holds a NUL byte");
    }
    if (length > 0 && _buffer[length - 1] == '\r') {
        --length; // tolerate CRLF line ends
    }
    line = std::string_view(_buffer.data(), length);
    return true;
}

void TraceReader::readHeader() {
    std::string_view line;
    if (!readLine(line)) {
        if (!_error) {
            fail(1, "empty file: no clavio trace header");
        }
        return;
    }
    if (line.substr(0, 3) == "\xEF\xBB\xBF") {
        line.remove_prefix(3); // a byte-order mark some editors add
    }
    Json header;
    if (parseJson(line, header) || !header.is_object()) {
        fail(1, "not a clavio trace: the first line is not a JSON header object");
        return;
    }
    const auto format = header.find("format");
    if (format == header.end() || !format->is_string() || *format != kTraceFormat) {
        fail(1, "not a clavio trace: the header's \"format\" is " +
                    (format == header.end() ? std::string("missing")
                                            : json_support::shortDump(*format)) +
                    ", expected \"" + std::string(kTraceFormat) + "\"");
        return;
    }
    const auto version = header.find("version");
    if (version == header.end() || !version->is_number_integer() ||
        version->get<std::int64_t>() < 1) {
        fail(1,
             "bad trace version " + (version == header.end() ? std::string("(missing)")
                                                             : json_support::shortDump(*version)));
        return;
    }
    if (version->get<std::int64_t>() > kTraceVersion) {
        fail(1, "trace version " + json_support::shortDump(*version) +
                    " is newer than this build reads (version " + std::to_string(kTraceVersion) +
                    ")");
    }
}

bool TraceReader::next(TraceRecord& out) {
    if (_done) {
        return false;
    }
    std::string_view line;
    for (;;) {
        if (!readLine(line)) {
            _done = true;
            return false;
        }
        if (!isBlank(line)) {
            break;
        }
        if (_blankLine == 0) {
            _blankLine = _line;
        }
    }
    if (_blankLine != 0) {
        return fail(_blankLine, "blank line inside the trace");
    }
    Json object;
    if (auto error = parseJson(line, object)) {
        return fail(_line, *error);
    }
    if (auto error = decodeRecord(object, out)) {
        return fail(_line, *error);
    }
    if (_lastTicks && out.t < *_lastTicks) {
        return fail(_line, "time goes backwards: t " + std::to_string(out.t) + " comes after t " +
                               std::to_string(*_lastTicks));
    }
    if (!_firstTicks) {
        _firstTicks = out.t;
    }
    if (out.t - *_firstTicks > kTraceMaxSpanTicks) {
        return fail(_line, "t " + std::to_string(out.t) + " lies more than " +
                               std::to_string(kTraceMaxSpanTicks / 3'600'000'000'000ull) +
                               " hours after the first record (t " + std::to_string(*_firstTicks) +
                               "); a trace spans at most that");
    }
    _lastTicks = out.t;
    return true;
}

std::optional<TraceError> readTrace(const std::filesystem::path& path,
                                    std::vector<TraceRecord>& out) {
    out.clear();
    TraceReader reader(path);
    TraceRecord record;
    while (reader.next(record)) {
        out.push_back(record);
    }
    return reader.error();
}

std::optional<TraceError> parseTrace(std::string_view text, std::vector<TraceRecord>& out,
                                     std::string source) {
    out.clear();
    TraceReader reader(std::make_unique<std::istringstream>(std::string(text)), std::move(source));
    TraceRecord record;
    while (reader.next(record)) {
        out.push_back(record);
    }
    return reader.error();
}

std::uint64_t TraceSummary::durationTicks() const {
    return firstTicks && lastTicks ? *lastTicks - *firstTicks : 0;
}

namespace {
void tally(TraceSummary& out, const TraceRecord& record) {
    if (!out.firstTicks) {
        out.firstTicks = record.t;
    }
    out.lastTicks = record.t;
    if (record.type == TraceRecord::Type::mic) {
        ++out.micBlocks;
        out.micSamples += record.mic.size();
        out.micRate = record.rate;
        return;
    }
    if (record.type == TraceRecord::Type::accel) {
        ++out.accelReports;
        out.accelWrongLength += record.accel.size() != kAccelReportLength;
        return;
    }
    switch (record.key.kind) {
    case TraceKeyKind::down:
        ++out.keyDowns;
        out.repeats += record.key.repeat;
        break;
    case TraceKeyKind::up:
        ++out.keyUps;
        break;
    case TraceKeyKind::flags:
        ++out.flagChanges;
        break;
    }
}
} // namespace

std::optional<TraceError> summarizeTrace(TraceReader& reader, TraceSummary& out) {
    out = TraceSummary{};
    TraceRecord record;
    while (reader.next(record)) {
        tally(out, record);
    }
    return reader.error();
}

} // namespace clavio

namespace clavio {

void LoadedTrace::get(std::size_t index, TraceRecord& out) const {
    const Record& r = _records[index];
    out.t = r.t;
    out.type = r.type;
    if (r.type == TraceRecord::Type::mic) {
        std::uint8_t bytes[4];
        auto at = _accel.begin() + std::ptrdiff_t(r.word);
        std::copy(at, at + 4, bytes);
        out.rate = std::bit_cast<std::uint32_t>(bytes);
        out.mic.resize(r.half);
        for (std::size_t i = 0; i < r.half; ++i) {
            at += 4;
            std::copy(at, at + 4, bytes);
            out.mic[i] = std::bit_cast<float>(bytes);
        }
        out.accel.clear();
        out.key = {};
        return;
    }
    out.mic.clear();
    out.rate = 0;
    if (r.type == TraceRecord::Type::accel) {
        out.accel.assign(_accel.begin() + std::ptrdiff_t(r.word),
                         _accel.begin() + std::ptrdiff_t(std::uint64_t(r.word) + r.half));
        out.key = {};
    } else {
        out.accel.clear();
        out.key = TraceKey{TraceKeyKind(r.keyBits & 0x7f), r.half, r.word,
                           (r.keyBits & 0x80) != 0};
    }
}

std::shared_ptr<const LoadedTrace> LoadedTrace::read(TraceReader& reader, std::string source,
                                                     std::optional<TraceError>& error) {
    auto trace = std::make_shared<LoadedTrace>();
    trace->_source = std::move(source);
    TraceRecord record;
    try {
        while (reader.next(record)) {
            Record r;
            r.t = record.t;
            r.type = record.type;
            if (record.type == TraceRecord::Type::mic) {
                const std::size_t bytes = 4 + 4 * record.mic.size();
                if (trace->_accel.size() + bytes > UINT32_MAX || record.mic.size() > UINT16_MAX) {
                    error = TraceError{trace->_source, reader.lineNumber(),
                                       "more than 4 GiB of reports and microphone samples"};
                    return nullptr;
                }
                r.word = std::uint32_t(trace->_accel.size());
                r.half = std::uint16_t(record.mic.size());
                const auto rate = std::bit_cast<std::array<std::uint8_t, 4>>(record.rate);
                trace->_accel.insert(trace->_accel.end(), rate.begin(), rate.end());
                for (const float sample : record.mic) {
                    const auto b = std::bit_cast<std::array<std::uint8_t, 4>>(sample);
                    trace->_accel.insert(trace->_accel.end(), b.begin(), b.end());
                }
            } else if (record.type == TraceRecord::Type::accel) {
                if (trace->_accel.size() + record.accel.size() > UINT32_MAX) {
                    error = TraceError{trace->_source, reader.lineNumber(),
                                       "more than 4 GiB of accelerometer reports"};
                    return nullptr;
                }
                r.word = std::uint32_t(trace->_accel.size());
                r.half = std::uint16_t(record.accel.size());
                trace->_accel.insert(trace->_accel.end(), record.accel.begin(), record.accel.end());
            } else {
                r.keyBits = std::uint8_t(std::uint8_t(record.key.kind) |
                                         (record.key.repeat ? 0x80 : 0));
                r.word = record.key.flags;
                r.half = record.key.code;
            }
            tally(trace->_summary, record);
            trace->_records.push_back(r);
            // The span limit does not bound the count: records may share
            // their times. A day of 1 kHz reports takes about 3.3 GB.
            if (trace->_records.size() * sizeof(Record) + trace->_accel.size() >
                kMaxLoadedTraceBytes) {
                error = TraceError{trace->_source, reader.lineNumber(),
                                   "the trace holds more than " +
                                       std::to_string(kMaxLoadedTraceBytes >> 30) +
                                       " GiB of records; split it"};
                return nullptr;
            }
        }
    } catch (const std::bad_alloc&) {
        error = TraceError{trace->_source, reader.lineNumber(), "out of memory"};
        return nullptr;
    }
    error = reader.error();
    if (error) {
        return nullptr;
    }
    trace->_records.shrink_to_fit();
    trace->_accel.shrink_to_fit();
    return trace;
}

std::shared_ptr<const LoadedTrace> LoadedTrace::read(const std::filesystem::path& path,
                                                     std::optional<TraceError>& error) {
    TraceReader reader(path);
    return read(reader, path.string(), error);
}

} // namespace clavio
