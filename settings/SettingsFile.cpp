#include "settings/SettingsFile.h"

#include <algorithm>

namespace settings {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// A carriage return left inside a line counts as a blank.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool Quoted(std::string_view text) {
    return text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
           text.back() == text.front();
}

// How a value's text stands to the former store's escaping.
enum class Escapes { None, Paired, Unpaired };

Escapes FormerEscapes(std::string_view raw) {
    Escapes found = Escapes::None;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\')
            continue;
        if (i + 1 == raw.size() || (raw[i + 1] != '\\' && raw[i + 1] != '"'))
            return Escapes::Unpaired;
        found = Escapes::Paired;
        ++i;
    }
    const std::string_view text = Trim(raw);
    if (text.size() >= 2 && text[0] == '@' && text[1] == '@')
        found = Escapes::Paired;
    return found;
}

} // namespace

SettingsFile::Line SettingsFile::Classify(std::string text) {
    Line line;
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty()) {
        line.kind = Kind::Blank;
    } else if (trimmed.front() == ';' || trimmed.front() == '#') {
        line.kind = Kind::Comment;
    } else if (trimmed.front() == '[') {
        const std::size_t close = trimmed.find(']');
        line.kind = close == std::string_view::npos ? Kind::Other : Kind::Section;
        if (close != std::string_view::npos)
            line.name = Trim(trimmed.substr(1, close - 1));
    } else {
        const std::size_t equals = text.find('=');
        const std::string_view key = equals == std::string::npos
                                         ? std::string_view()
                                         : Trim(std::string_view(text).substr(0, equals));
        line.kind = key.empty() ? Kind::Other : Kind::Entry;
        line.name = key;
        line.valueAt = equals + 1;
    }
    line.text = std::move(text);
    return line;
}

SettingsFile::SettingsFile(std::string_view bytes) {
    if (bytes.substr(0, kBom.size()) == kBom) {
        m_bom = true;
        bytes.remove_prefix(kBom.size());
    }
    m_unparsable = bytes.find('\0') != std::string_view::npos;
    std::size_t section = 0;
    bool comments = false;
    bool paired = false;
    bool unpaired = false;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        std::string_view text = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        // A line ends with its CRLF, or with any carriage returns before the LF.
        if (!text.empty() && text.back() == '\r')
            m_crlf = m_crlf || m_lines.empty();
        while (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        Line line = Classify(std::string(text));
        line.section = section;
        if (line.kind == Kind::Section)
            section = m_lines.size() + 1;
        comments = comments || line.kind == Kind::Comment;
        m_unparsable = m_unparsable || line.kind == Kind::Other;
        if (line.kind == Kind::Entry) {
            const Escapes escapes = FormerEscapes(std::string_view(line.text).substr(line.valueAt));
            paired = paired || escapes == Escapes::Paired;
            unpaired = unpaired || escapes == Escapes::Unpaired;
        }
        m_lines.push_back(std::move(line));
    }
    m_former = !comments && paired && !unpaired;
}

bool SettingsFile::SectionMatches(std::size_t sectionLine, std::string_view section) const {
    return sectionLine > 0 && EqualIgnoringCase(m_lines[sectionLine - 1].name, section);
}

std::optional<std::string> SettingsFile::Get(std::string_view section, std::string_view key) const {
    for (const Line& line : m_lines) {
        if (line.kind != Kind::Entry || !SectionMatches(line.section, section) ||
            !EqualIgnoringCase(line.name, key))
            continue;
        const std::string_view raw = std::string_view(line.text).substr(line.valueAt);
        return m_former ? DecodeFormer(raw) : Decode(raw);
    }
    return std::nullopt;
}

bool SettingsFile::CanHold(std::string_view value) {
    return value.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos;
}

std::string SettingsFile::Encode(std::string_view value) {
    const bool quote =
        !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || Quoted(value));
    return quote ? "\"" + std::string(value) + "\"" : std::string(value);
}

std::string SettingsFile::Decode(std::string_view raw) {
    std::string_view value = Trim(raw);
    if (Quoted(value))
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

std::string SettingsFile::DecodeFormer(std::string_view raw) {
    // Quotes may open and close anywhere; outside them a ';' ends the value,
    // a ',' separates the items of a list (read back joined by ','), and
    // blanks around each item are dropped. A '\' takes the next character.
    std::string out;
    std::string item;
    bool list = false;
    bool inQuotes = false;
    bool quoted = false;
    std::size_t keep = 0; // trailing blanks before this length are kept
    std::size_t i = 0;
    const auto skipSpaces = [&] {
        while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t'))
            ++i;
        keep = item.size();
    };
    const auto chop = [&] {
        if (quoted)
            return;
        while (item.size() > keep && (item.back() == ' ' || item.back() == '\t'))
            item.pop_back();
    };
    const auto finishItem = [&] {
        if (item.size() >= 2 && item[0] == '@' && item[1] == '@')
            item.erase(0, 1);
        if (list)
            out += ',';
        out += item;
        item.clear();
    };
    skipSpaces();
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '\\') {
            if (i + 1 < raw.size())
                item += raw[i + 1];
            i += 2;
            keep = item.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (!inQuotes && c == ';') {
            break;
        } else if (!inQuotes && c == ',') {
            chop();
            finishItem();
            list = true;
            quoted = false;
            ++i;
            skipSpaces();
        } else {
            item += c;
            ++i;
        }
    }
    chop();
    finishItem();
    return out;
}

void SettingsFile::LeaveFormerStyle() {
    for (Line& line : m_lines) {
        if (line.kind != Kind::Entry)
            continue;
        const std::string value = DecodeFormer(std::string_view(line.text).substr(line.valueAt));
        line.text = line.text.substr(0, line.valueAt) + Encode(value);
    }
    m_former = false;
}

bool SettingsFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (!CanHold(value))
        return false;
    if (m_former)
        LeaveFormerStyle();
    const bool commented = std::any_of(m_lines.begin(), m_lines.end(),
                                       [](const Line& l) { return l.kind == Kind::Comment; });
    if (!commented) {
        // The mark of this writer: never read by the former store's rules.
        m_lines.insert(m_lines.begin(), Classify(std::string(kHeader)));
        for (Line& line : m_lines)
            line.section += line.section > 0 ? 1 : 0;
    }
    const std::string encoded = Encode(value);
    std::size_t sectionLine = 0; // index + 1 of the first section of that name
    std::size_t insertAt = 0;    // after its last entry, or after it
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        Line& line = m_lines[i];
        if (line.kind == Kind::Section && sectionLine == 0 &&
            EqualIgnoringCase(line.name, section)) {
            sectionLine = i + 1;
            insertAt = i + 1;
        }
        if (line.kind != Kind::Entry || !SectionMatches(line.section, section))
            continue;
        if (EqualIgnoringCase(line.name, key)) {
            // The blanks the person put after '=' stay.
            std::size_t at = line.valueAt;
            while (at < line.text.size() && IsBlank(line.text[at]))
                ++at;
            line.text = line.text.substr(0, at) + encoded;
            return true;
        }
        if (line.section == sectionLine)
            insertAt = i + 1;
    }
    if (sectionLine == 0) {
        if (!m_lines.empty() && m_lines.back().kind != Kind::Blank)
            m_lines.push_back(Classify(std::string()));
        m_lines.push_back(Classify("[" + std::string(section) + "]"));
        sectionLine = m_lines.size();
        insertAt = m_lines.size();
    }
    Line entry = Classify(std::string(key) + "=" + encoded);
    entry.section = sectionLine;
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
    for (std::size_t i = insertAt + 1; i < m_lines.size(); ++i)
        m_lines[i].section += m_lines[i].section > insertAt ? 1 : 0;
    return true;
}

std::string SettingsFile::Text() const {
    std::string out = m_bom ? std::string(kBom) : std::string();
    const char* end = m_crlf ? "\r\n" : "\n";
    for (const Line& line : m_lines)
        out.append(line.text).append(end);
    return out;
}

} // namespace settings
