#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ostream>

#include "engine/replay/session_trace.h"

namespace clavio {

namespace {
void appendUnsigned(std::string& s, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    s.append(digits, end);
}
// Appends the little-endian bytes of `count` samples as padded base64.
void appendMicBase64(std::string& s, const float* samples, std::size_t count) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float value = std::isfinite(samples[i]) ? samples[i] : 0.0f;
        const auto word = std::bit_cast<std::uint32_t>(value);
        for (int b = 0; b < 4; ++b) {
            bits = (bits << 8) | ((word >> (8 * b)) & 0xFF);
            held += 8;
            while (held >= 6) {
                held -= 6;
                s.push_back(kAlphabet[(bits >> held) & 0x3F]);
            }
        }
    }
    if (held > 0) {
        s.push_back(kAlphabet[(bits << (6 - held)) & 0x3F]);
        s.append(held == 2 ? "==" : "=");
    }
}
} // namespace

TraceWriter::TraceWriter(std::ostream& out) : _out(out) {
    _out << "{\"format\":\"" << kTraceFormat << "\",\"version\":" << kTraceVersion << "}\n";
}

bool TraceWriter::ok() const {
    return bool(_out);
}

bool TraceWriter::accept(std::uint64_t t) {
    if (!_out || (_lastTicks && t < *_lastTicks)) {
        return false;
    }
    _lastTicks = t;
    return true;
}

bool TraceWriter::write(const TraceRecord& record) {
    switch (record.type) {
    case TraceRecord::Type::accel:
        return writeAccel(record.t, record.accel.data(), record.accel.size());
    case TraceRecord::Type::mic:
        return writeMic(record.t, record.mic.data(), record.mic.size(), record.rate);
    case TraceRecord::Type::key:
        break;
    }
    return writeKey(record.t, record.key);
}

bool TraceWriter::writeAccel(std::uint64_t t, const std::uint8_t* report, std::size_t length) {
    if (!accept(t)) {
        return false;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    _line.assign("{\"t\":");
    appendUnsigned(_line, t);
    _line.append(",\"accel\":\"");
    for (std::size_t i = 0; i < length; ++i) {
        _line.push_back(kHex[report[i] >> 4]);
        _line.push_back(kHex[report[i] & 0xF]);
    }
    _line.append("\"}\n");
    _out.write(_line.data(), std::streamsize(_line.size()));
    _records += bool(_out);
    return bool(_out);
}

bool TraceWriter::writeKey(std::uint64_t t, const TraceKey& key) {
    if (!accept(t)) {
        return false;
    }
    _line.assign("{\"t\":");
    appendUnsigned(_line, t);
    _line.append(",\"key\":\"");
    _line.append(name(key.kind));
    _line.append("\",\"code\":");
    appendUnsigned(_line, key.code);
    _line.append(",\"flags\":");
    appendUnsigned(_line, key.flags);
    if (key.kind == TraceKeyKind::down) {
        _line.append(key.repeat ? ",\"repeat\":true" : ",\"repeat\":false");
    }
    _line.append("}\n");
    _out.write(_line.data(), std::streamsize(_line.size()));
    _records += bool(_out);
    return bool(_out);
}

bool TraceWriter::writeMic(std::uint64_t t, const float* samples, std::size_t count,
                           std::uint32_t rate) {
    if (count == 0 || rate < kTraceMicMinRate || rate > kTraceMicMaxRate ||
        (_lastTicks && t < *_lastTicks)) {
        return false;
    }
    for (std::size_t first = 0; first < count; first += kTraceMicMaxSamplesPerLine) {
        const std::size_t n = std::min(kTraceMicMaxSamplesPerLine, count - first);
        const std::uint64_t at = t + std::uint64_t(std::llround(double(first) * 1e9 / rate));
        if (!accept(at)) {
            return false;
        }
        _line.assign("{\"t\":");
        appendUnsigned(_line, at);
        _line.append(",\"mic\":\"");
        appendMicBase64(_line, samples + first, n);
        _line.append("\",\"rate\":");
        appendUnsigned(_line, rate);
        _line.append("}\n");
        _out.write(_line.data(), std::streamsize(_line.size()));
        _records += bool(_out);
        if (!_out) {
            return false;
        }
    }
    return true;
}

TraceFileWriter::TraceFileWriter(std::filesystem::path path, ExistingFile existing)
    : _file(std::move(path), FileSecrecy::keyCodes, existing), _writer(_file.stream()) {}

std::optional<std::string> TraceFileWriter::finish() {
    return _file.commit();
}

} // namespace clavio
