#include <charconv>
#include <ostream>

#include "engine/replay/session_trace.h"

namespace clavio {

namespace {
void appendUnsigned(std::string& s, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    s.append(digits, end);
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
    return record.type == TraceRecord::Type::accel
               ? writeAccel(record.t, record.accel.data(), record.accel.size())
               : writeKey(record.t, record.key);
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

TraceFileWriter::TraceFileWriter(std::filesystem::path path, ExistingFile existing)
    : _file(std::move(path), FileSecrecy::keyCodes, existing), _writer(_file.stream()) {}

std::optional<std::string> TraceFileWriter::finish() {
    return _file.commit();
}

} // namespace clavio
