#include "capture/capture_format.h"

#include "decode/describe.h"
#include "log/hex.h"
#include "osdp/frame_codec.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>

namespace quintrel {

namespace {

constexpr int kMaxDepth = 32; // nested values skipped over; deeper is refused

void AppendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%.4x", u);
            out += escape;
        } else {
            out += c;
        }
    }
}

// A reader of one flat JSON object; it keeps the string and number values of the top
// level and skips nested ones.
class TJsonLine {
  public:
    explicit TJsonLine(std::string_view text) : Text(text) {}

    bool Parse(std::string& error) {
        Blanks();
        if (!Take('{')) return Fail(error, "not a JSON object");
        Blanks();
        if (Take('}')) return Finish(error);
        for (;;) {
            std::string key;
            Blanks();
            if (!String(key)) return Fail(error, "bad field name");
            Blanks();
            if (!Take(':')) return Fail(error, "':' missing");
            Blanks();
            std::string value;
            bool scalar = false;
            if (!Value(value, scalar, 0)) return Fail(error, "bad value of " + key);
            if (scalar) Fields.emplace_back(std::move(key), std::move(value));
            Blanks();
            if (Take('}')) return Finish(error);
            if (!Take(',')) return Fail(error, "',' missing");
        }
    }

    std::optional<std::string> Field(std::string_view key) const {
        for (const auto& [k, v] : Fields)
            if (k == key) return v;
        return std::nullopt;
    }

  private:
    bool Fail(std::string& error, const std::string& why) {
        if (Error.empty()) Error = why;
        error = Error;
        return false;
    }
    bool Finish(std::string& error) {
        Blanks();
        if (At != Text.size()) return Fail(error, "text after the object");
        return true;
    }
    void Blanks() {
        while (At < Text.size() &&
               (Text[At] == ' ' || Text[At] == '\t' || Text[At] == '\r' || Text[At] == '\n'))
            ++At;
    }
    bool Take(char c) {
        if (At < Text.size() && Text[At] == c) {
            ++At;
            return true;
        }
        return false;
    }
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (At < Text.size()) {
            const char c = Text[At++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (At >= Text.size()) return false;
            const char e = Text[At++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                if (Text.size() - At < 4) return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int d = HexDigit(Text[At++]);
                    if (d < 0) return false;
                    code = code << 4 | static_cast<unsigned>(d);
                }
                // Only the source name may hold such text; anything beyond ASCII is kept
                // as a question mark rather than decoded.
                out += code < 0x80 ? static_cast<char>(code) : '?';
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    bool Value(std::string& out, bool& scalar, int depth) {
        if (depth > kMaxDepth || At >= Text.size()) return false;
        const char c = Text[At];
        if (c == '"') {
            scalar = true;
            return String(out);
        }
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++At;
            Blanks();
            if (Take(close)) return true;
            for (;;) {
                Blanks();
                if (c == '{') {
                    std::string key;
                    if (!String(key)) return false;
                    Blanks();
                    if (!Take(':')) return false;
                    Blanks();
                }
                std::string inner;
                bool innerScalar = false;
                if (!Value(inner, innerScalar, depth + 1)) return false;
                Blanks();
                if (Take(close)) return true;
                if (!Take(',')) return false;
            }
        }
        // A number or a bare word (true, false, null): the characters up to the next
        // delimiter.
        const std::size_t start = At;
        while (At < Text.size() && Text[At] != ',' && Text[At] != '}' && Text[At] != ']' &&
               Text[At] != ' ' && Text[At] != '\t' && Text[At] != '\r' && Text[At] != '\n')
            ++At;
        if (At == start) return false;
        out.assign(Text.substr(start, At - start));
        scalar = true;
        return true;
    }

    std::string_view Text;
    std::size_t At = 0;
    std::string Error;
    std::vector<std::pair<std::string, std::string>> Fields;
};

// Digits only, at most digits of them.
bool ReadCount(const std::string& text, std::size_t digits, std::int64_t& value) {
    if (text.empty() || text.size() > digits) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool ReadHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '-' || c == ':') {
            if (high >= 0) return false; // a separator inside a byte
            continue;
        }
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0) return false;
        if (high < 0) {
            high = d;
            continue;
        }
        if (bytes.size() == kCaptureMaxData) return false;
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | d));
        high = -1;
    }
    return high < 0;
}


} // namespace

std::string FormatCaptureLine(const TCaptureRecord& record) {
    static constexpr const char* kIo[] = {"output", "input", "trace"};
    std::string line = "{\"timeSec\":\"" + std::to_string(record.Seconds) + "\",\"timeNano\":\"";
    char nanos[16];
    std::snprintf(nanos, sizeof nanos, "%09d", static_cast<int>(record.Nanos));
    line += nanos;
    line += "\",\"io\":\"";
    line += kIo[static_cast<int>(record.Io)];
    line += "\",\"data\":\"";
    // Lower-case hex with a blank before each byte, as the format's own writers put it.
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const std::uint8_t b : record.Data) {
        line += ' ';
        line += kDigits[b >> 4];
        line += kDigits[b & 15];
    }
    line += "\",\"osdpTraceVersion\":\"1\",\"osdpSource\":\"";
    AppendEscaped(line, record.Source);
    line += "\"}";
    return line;
}

bool ParseCaptureLine(std::string_view line, TCaptureRecord& record, std::string& error) {
    TJsonLine json(line);
    if (!json.Parse(error)) return false;
    const auto need = [&](const char* key) {
        std::optional<std::string> v = json.Field(key);
        if (!v) error = std::string(key) + " missing";
        return v;
    };
    const auto seconds = need("timeSec");
    if (!seconds) return false;
    const auto nanos = need("timeNano");
    if (!nanos) return false;
    const auto io = need("io");
    if (!io) return false;
    const auto data = need("data");
    if (!data) return false;
    if (const auto version = json.Field("osdpTraceVersion"); version && *version != "1") {
        error = "trace version " + *version + " unknown";
        return false;
    }
    std::int64_t s = 0, n = 0;
    // The time is counted in nanoseconds in 64 bits from here on: a later second (past the
    // year 2262) would overflow that count.
    constexpr std::int64_t kLastSecond = std::numeric_limits<std::int64_t>::max() / 1000000000 - 1;
    if (!ReadCount(*seconds, 12, s)) {
        error = "bad timeSec";
        return false;
    }
    if (s > kLastSecond) {
        error = "timeSec out of range";
        return false;
    }
    if (!ReadCount(*nanos, 9, n)) {
        error = "bad timeNano";
        return false;
    }
    // Writers name the same two sides differently: "out" and "in" as the writer saw them.
    if (*io == "output" || *io == "out")
        record.Io = TCaptureIo::Output;
    else if (*io == "input" || *io == "in")
        record.Io = TCaptureIo::Input;
    else if (*io == "trace")
        record.Io = TCaptureIo::Trace;
    else {
        error = "bad io";
        return false;
    }
    if (!ReadHex(*data, record.Data) || record.Data.empty()) {
        error = "bad data";
        return false;
    }
    record.Seconds = s;
    record.Nanos = static_cast<std::int32_t>(n);
    record.Source = json.Field("osdpSource").value_or(std::string());
    return true;
}

} // namespace quintrel
