#include "platform/ProfileReader.h"

#include "platform/RegularFile.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace platform {

namespace {

constexpr std::size_t kBlock = 4096;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

// A piece of one line with its surrounding blanks dropped, of which at most
// `cap` characters are kept; its full trimmed length and last character are
// known however long it is.
class TrimmedText {
public:
    void Reset(std::size_t cap) {
        m_cap = cap;
        m_text.clear();
        m_rawLength = 0;
        m_length = 0;
        m_last = 0;
    }
    void Feed(char c) {
        const bool blank = IsBlank(c);
        if (blank && m_rawLength == 0)
            return; // leading blanks
        if (m_text.size() < m_cap)
            m_text.push_back(c);
        ++m_rawLength;
        if (!blank) {
            m_length = m_rawLength;
            m_last = c;
        }
    }
    // The kept characters of the trimmed text.
    std::string_view Kept() const {
        return std::string_view(m_text).substr(0, std::min(m_text.size(), m_length));
    }
    std::size_t Length() const { return m_length; }
    char Last() const { return m_last; }

private:
    std::size_t m_cap = 0;
    std::string m_text;
    std::size_t m_rawLength = 0; // characters after the leading blanks
    std::size_t m_length = 0;    // the same up to the last non-blank one
    char m_last = 0;
};

bool Matches(const TrimmedText& text, std::string_view name) {
    return text.Length() == name.size() && EqualIgnoringCase(text.Kept(), name);
}

// Walks the file's bytes line by line, looking for one key in one section.
class ProfileScanner {
public:
    ProfileScanner(std::string_view section, std::string_view key, std::size_t bufferSize)
        : m_section(section), m_key(key), m_bufferSize(bufferSize) {}

    // Returns false once the scan is over (value found or section ended).
    bool Feed(std::string_view bytes) {
        for (const char c : bytes) {
            Step(c);
            if (m_done)
                return false;
        }
        return true;
    }
    // The file ended; a value on its last line counts without a line end.
    void Finish() {
        if (!m_done)
            Step('\n');
    }
    bool Found() const { return m_found; }
    std::string Value() const { return m_value; }

private:
    enum class State { LineStart, Section, Key, Value, SkipLine };

    void Step(char c) {
        if (IsLineEnd(c)) {
            if (m_state == State::Value)
                FinishValue();
            m_state = State::LineStart;
            return;
        }
        switch (m_state) {
        case State::LineStart:
            if (IsBlank(c))
                return;
            if (c == '[') {
                m_text.Reset(m_section.size() + 1);
                m_state = State::Section;
            } else if (m_inSection) {
                m_text.Reset(m_key.size() + 1);
                m_text.Feed(c);
                m_state = State::Key;
            } else {
                m_state = State::SkipLine;
            }
            return;
        case State::Section:
            if (c == ']')
                FinishSection();
            else
                m_text.Feed(c);
            return;
        case State::Key:
            if (c == '=') {
                const bool match = Matches(m_text, m_key);
                m_text.Reset(m_bufferSize + 1);
                m_state = match ? State::Value : State::SkipLine;
            } else {
                m_text.Feed(c);
            }
            return;
        case State::Value:
            m_text.Feed(c);
            return;
        case State::SkipLine:
            return;
        }
    }

    void FinishSection() {
        m_state = State::SkipLine;
        if (m_inSection) {
            m_done = true; // only the first section of that name is read
            return;
        }
        m_inSection = Matches(m_text, m_section);
    }

    void FinishValue() {
        std::string_view value = m_text.Kept();
        std::size_t length = m_text.Length();
        if (length >= 2 && (value.front() == '"' || value.front() == '\'') &&
            m_text.Last() == value.front()) {
            value.remove_prefix(1);
            length -= 2;
        }
        value = value.substr(0, std::min({value.size(), length, m_bufferSize - 1}));
        m_value.assign(value);
        m_found = true;
        m_done = true;
    }

    std::string_view m_section;
    std::string_view m_key;
    std::size_t m_bufferSize;
    State m_state = State::LineStart;
    TrimmedText m_text;
    bool m_inSection = false;
    bool m_found = false;
    bool m_done = false;
    std::string m_value;
};

} // namespace

std::string ReadProfileString(FileOps& ops, const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              std::size_t bufferSize) {
    if (bufferSize == 0)
        return {};
    const auto fallback = [&] {
        return std::string(defaultValue.substr(0, std::min(defaultValue.size(), bufferSize - 1)));
    };
    FileHandle file(ops, OpenRegularFile(ops, path));
    if (!file.IsOpen())
        return fallback();

    ProfileScanner scanner(section, key, bufferSize);
    std::array<char, kBlock> block{};
    for (;;) {
        const ssize_t got = ops.Read(file.Get(), block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fallback(); // a half-read file yields nothing of its own
        if (got == 0) {
            scanner.Finish();
            break;
        }
        if (!scanner.Feed(std::string_view(block.data(), static_cast<std::size_t>(got))))
            break;
    }
    return scanner.Found() ? scanner.Value() : fallback();
}

} // namespace platform
