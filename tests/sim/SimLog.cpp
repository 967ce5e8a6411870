#include "sim/SimLog.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace simtest {
namespace {

// A reader for the small subset of JSON the log uses: one object whose values
// are numbers, strings or arrays of numbers.
class LineParser {
public:
    explicit LineParser(std::string_view text) : m_text(text) {}

    std::optional<SimLogEntry> Entry() {
        SimLogEntry entry;
        if (!Take('{'))
            return std::nullopt;
        bool first = true;
        while (!Take('}')) {
            if (!first && !Take(','))
                return std::nullopt;
            first = false;
            const auto key = String();
            if (!key || !Take(':') || !Value(*key, entry))
                return std::nullopt;
        }
        SkipBlanks();
        return m_pos == m_text.size() ? std::optional<SimLogEntry>(entry) : std::nullopt;
    }

private:
    void SkipBlanks() {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t'))
            ++m_pos;
    }
    bool Take(char c) {
        SkipBlanks();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        SkipBlanks();
        return m_pos < m_text.size() && m_text[m_pos] == c;
    }

    std::optional<double> Number() {
        SkipBlanks();
        const std::string rest(m_text.substr(m_pos, 64));
        char* end = nullptr;
        const double value = std::strtod(rest.c_str(), &end);
        if (end == rest.c_str())
            return std::nullopt;
        m_pos += static_cast<std::size_t>(end - rest.c_str());
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::optional<unsigned> Hex4() {
        if (m_pos + 4 > m_text.size())
            return std::nullopt;
        const std::string digits(m_text.substr(m_pos, 4));
        char* end = nullptr;
        const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
        if (end != digits.c_str() + 4)
            return std::nullopt;
        m_pos += 4;
        return static_cast<unsigned>(value);
    }

    std::optional<std::string> String() {
        if (!Take('"'))
            return std::nullopt;
        std::string out;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size())
                return std::nullopt;
            const char e = m_text[m_pos++];
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
                const auto code = Hex4();
                if (!code)
                    return std::nullopt;
                // The log writes bytes that are not UTF-8 as \u00XX: back to the byte.
                if (*code <= 0xFF)
                    out += static_cast<char>(*code);
                else
                    AppendUtf8(out, *code);
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    bool Value(const std::string& key, SimLogEntry& entry) {
        if (Peek('"')) {
            const auto text = String();
            if (!text)
                return false;
            if (key == "call")
                entry.call = *text;
            else if (key == "path")
                entry.path = *text;
            return true;
        }
        if (Take('[')) {
            std::vector<long long> values;
            while (!Take(']')) {
                if (!values.empty() && !Take(','))
                    return false;
                const auto n = Number();
                if (!n)
                    return false;
                values.push_back(static_cast<long long>(*n));
            }
            if (key == "args")
                entry.args = values;
            return true;
        }
        const auto n = Number();
        if (!n)
            return false;
        const auto whole = static_cast<long long>(*n);
        if (key == "t")
            entry.t = *n;
        else if (key == "flags")
            entry.flags = whole;
        else if (key == "result")
            entry.result = whole;
        else if (key == "code")
            entry.code = whole;
        return true;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

} // namespace

std::optional<SimLogEntry> ParseSimLogLine(std::string_view line) {
    return LineParser(line).Entry();
}

std::vector<SimLogEntry> ReadSimLog(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    std::vector<SimLogEntry> entries;
    std::size_t start = 0;
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        if (auto entry = ParseSimLogLine(std::string_view(text).substr(start, end - start)))
            entries.push_back(std::move(*entry));
        start = end + 1;
    }
    return entries;
}

} // namespace simtest
