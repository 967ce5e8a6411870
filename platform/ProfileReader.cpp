#include "platform/ProfileReader.h"

#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace platform {

namespace {

constexpr std::size_t kBlock = std::size_t(1) << 20;
constexpr std::size_t kSmallBlock = 4096;

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
// known however long it is. It is fed whole runs of characters, none of them
// a line end.
class TrimmedText {
public:
    void Reset(std::size_t cap) {
        m_cap = cap;
        m_text.clear();
        m_rawLength = 0;
        m_length = 0;
        m_last = 0;
    }
    void Feed(const char* run, std::size_t count) {
        if (m_rawLength == 0) {
            while (count > 0 && IsBlank(*run)) { // leading blanks
                ++run;
                --count;
            }
        }
        if (count == 0)
            return;
        m_text.append(run, std::min(count, Room()));
        std::size_t solid = count;
        while (solid > 0 && IsBlank(run[solid - 1]))
            --solid;
        if (solid > 0) {
            m_length = m_rawLength + solid;
            m_last = run[solid - 1];
        }
        m_rawLength += count;
    }
    // `count` zero bytes, as a hole of a sparse file holds them.
    void FeedZeros(std::size_t count) {
        if (count == 0)
            return;
        m_text.append(std::min(count, Room()), '\0');
        m_rawLength += count;
        m_length = m_rawLength;
        m_last = '\0';
    }
    // The kept characters of the trimmed text.
    std::string_view Kept() const {
        return std::string_view(m_text).substr(0, std::min(m_text.size(), m_length));
    }
    std::size_t Length() const { return m_length; }
    char Last() const { return m_last; }

private:
    std::size_t Room() const { return m_text.size() < m_cap ? m_cap - m_text.size() : 0; }

    std::size_t m_cap = 0;
    std::string m_text;
    std::size_t m_rawLength = 0; // characters after the leading blanks
    std::size_t m_length = 0;    // the same up to the last non-blank one
    char m_last = 0;
};

bool Matches(const TrimmedText& text, std::string_view name) {
    return text.Length() == name.size() && EqualIgnoringCase(text.Kept(), name);
}

// The next place of one byte in a block, found with memchr and remembered
// until the scan has passed it, so that short lines cost no rescans.
class NextByte {
public:
    explicit NextByte(char c) : m_c(c) {}
    void Reset() { m_at = nullptr; }
    const char* From(const char* from, const char* end) {
        if (m_at == nullptr || m_at < from) {
            const void* found = std::memchr(from, m_c, static_cast<std::size_t>(end - from));
            m_at = found ? static_cast<const char*>(found) : end;
        }
        return m_at;
    }

private:
    char m_c;
    const char* m_at = nullptr;
};

// Walks the file's bytes line by line, looking for one key in one section.
class ProfileScanner {
public:
    ProfileScanner(std::string_view section, std::string_view key, std::size_t bufferSize)
        : m_section(section), m_key(key), m_bufferSize(bufferSize) {}

    // Returns false once the scan is over (value found or section ended).
    bool Feed(std::string_view bytes) {
        for (NextByte* next : {&m_lf, &m_cr, &m_equals, &m_close})
            next->Reset();
        const char* p = bytes.data();
        const char* const end = p + bytes.size();
        while (p < end && !m_done)
            p = Step(p, end);
        return !m_done;
    }
    // `count` zero bytes: a hole of a sparse file. None of them is a blank, a
    // line end or a mark, so after the first one the state holds.
    bool FeedZeros(std::uint64_t count) {
        if (count == 0 || m_done)
            return !m_done;
        if (m_state == State::LineStart) {
            const char zero = '\0';
            Step(&zero, &zero + 1);
            --count;
        }
        if (m_state == State::Section || m_state == State::Key || m_state == State::Value)
            m_text.FeedZeros(static_cast<std::size_t>(std::min<std::uint64_t>(count, SIZE_MAX)));
        return !m_done;
    }
    // The file ended; a value on its last line counts without a line end.
    void Finish() {
        if (!m_done && m_state == State::Value)
            FinishValue();
    }
    bool Found() const { return m_found; }
    std::string Value() const { return m_value; }

private:
    enum class State { LineStart, Section, Key, Value, SkipLine };

    // The first line end at or after `from`, or the first `mark` ('=' or ']')
    // when one is given and comes first. Short lines are common, and many of them in a row
    // are what a hostile file is made of: the first bytes are looked at one by
    // one, and only a longer run is left to memchr.
    const char* Stop(const char* from, const char* end, char mark = '\n') {
        const char* const near = end - from > kNear ? from + kNear : end;
        for (const char* q = from; q < near; ++q)
            if (IsLineEnd(*q) || *q == mark)
                return q;
        if (near == end)
            return end;
        const char* stop = std::min(m_lf.From(near, end), m_cr.From(near, end));
        if (mark == '=')
            stop = std::min(stop, m_equals.From(near, end));
        else if (mark == ']')
            stop = std::min(stop, m_close.From(near, end));
        return stop;
    }

    // Takes the bytes from `p` up to the next one that changes the state and
    // returns where the scan goes on.
    const char* Step(const char* p, const char* end) {
        switch (m_state) {
        case State::LineStart: {
            while (p < end && (IsBlank(*p) || IsLineEnd(*p)))
                ++p;
            if (p == end)
                return p;
            const char c = *p;
            if (c == '[') {
                m_text.Reset(m_section.size() + 1);
                m_state = State::Section;
                return p + 1;
            }
            if (m_inSection) {
                // The first character belongs to the key, even an '='.
                m_text.Reset(m_key.size() + 1);
                m_text.Feed(p, 1);
                m_state = State::Key;
                return p + 1;
            }
            m_state = State::SkipLine;
            return p + 1;
        }
        case State::Section: {
            const char* stop = Stop(p, end, ']');
            m_text.Feed(p, static_cast<std::size_t>(stop - p));
            if (stop == end)
                return end;
            if (*stop == ']')
                FinishSection();
            else
                m_state = State::LineStart;
            return stop + 1;
        }
        case State::Key: {
            const char* stop = Stop(p, end, '=');
            m_text.Feed(p, static_cast<std::size_t>(stop - p));
            if (stop == end)
                return end;
            if (*stop == '=') {
                const bool match = Matches(m_text, m_key);
                m_text.Reset(m_bufferSize + 1);
                m_state = match ? State::Value : State::SkipLine;
            } else {
                m_state = State::LineStart; // a line without '=' is no entry
            }
            return stop + 1;
        }
        case State::Value: {
            const char* stop = Stop(p, end);
            m_text.Feed(p, static_cast<std::size_t>(stop - p));
            if (stop == end)
                return end;
            FinishValue();
            return stop + 1;
        }
        case State::SkipLine: {
            const char* stop = Stop(p, end);
            if (stop == end)
                return end;
            m_state = State::LineStart;
            return stop + 1;
        }
        }
        return end;
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
    static constexpr std::ptrdiff_t kNear = 32;
    NextByte m_lf{'\n'};
    NextByte m_cr{'\r'};
    NextByte m_equals{'='};
    NextByte m_close{']'};
    bool m_inSection = false;
    bool m_found = false;
    bool m_done = false;
    std::string m_value;
};

// Feeds the scanner the file's first `limit` bytes, holes as zeros without
// reading them. True when the file ended within the limit (or the scan is
// over); false when it was cut there or a read failed (`failed` then set).
bool FeedFile(FileOps& ops, int fd, ProfileScanner& scanner, std::uint64_t limit, bool& failed) {
    // A small file needs no large buffer.
    struct stat st {};
    std::size_t blockSize = kBlock;
    if (ops.Fstat(fd, &st) == 0 && st.st_size >= 0 && st.st_size < static_cast<off_t>(kBlock))
        blockSize = std::max<std::size_t>(static_cast<std::size_t>(st.st_size), kSmallBlock);
    const std::unique_ptr<char[]> block(new char[blockSize]);
    std::uint64_t passed = 0;
    bool skipHoles = true;
    failed = false;
    for (;;) {
        const std::uint64_t allowed = limit - passed;
        if (skipHoles) {
            const auto at = static_cast<off_t>(passed);
            off_t data = ops.Lseek(fd, at, SEEK_DATA);
            if (data < 0 && errno == ENXIO) {
                // Nothing but a hole up to the end of the file (or the end).
                data = ops.Lseek(fd, 0, SEEK_END);
                if (data < 0) {
                    failed = true;
                    return false;
                }
                const std::uint64_t zeros = data > at ? static_cast<std::uint64_t>(data - at) : 0;
                return scanner.FeedZeros(std::min(zeros, allowed)) ? zeros <= allowed : true;
            }
            if (data < 0) {
                // No hole search here (a failed seek leaves the position): read everything.
                skipHoles = false;
            } else if (data > at) {
                const auto zeros = static_cast<std::uint64_t>(data - at);
                if (!scanner.FeedZeros(std::min(zeros, allowed)))
                    return true;
                if (zeros > allowed)
                    return false;
                passed += zeros;
                continue;
            }
        }
        // One byte past the limit is read to tell a file of exactly the limit
        // from a longer one; it is never scanned.
        const std::size_t want =
            allowed >= blockSize ? blockSize : static_cast<std::size_t>(allowed) + 1;
        const ssize_t got = ops.Read(fd, block.get(), want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failed = true;
            return false;
        }
        if (got == 0)
            return true;
        const auto count = static_cast<std::uint64_t>(got);
        if (!scanner.Feed(std::string_view(block.get(), std::min(count, allowed))))
            return true;
        if (count > allowed)
            return false;
        passed += count;
    }
}

} // namespace

std::string ReadProfileString(FileOps& ops, const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              std::size_t bufferSize, std::uint64_t limit) {
    if (bufferSize == 0)
        return {};
    const auto fallback = [&] {
        return std::string(defaultValue.substr(0, std::min(defaultValue.size(), bufferSize - 1)));
    };
    FileHandle file(ops, OpenRegularFile(ops, path));
    if (!file.IsOpen())
        return fallback();

    ProfileScanner scanner(section, key, bufferSize);
    bool failed = false;
    if (FeedFile(ops, file.Get(), scanner, limit, failed))
        scanner.Finish();
    if (failed)
        return fallback(); // a half-read file yields nothing of its own
    return scanner.Found() ? scanner.Value() : fallback();
}

} // namespace platform
