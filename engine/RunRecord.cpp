#include "engine/RunRecord.h"

#include "platform/Path.h"
#include "platform/StateFile.h"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

namespace engine {

namespace {

constexpr std::string_view kHeader = "Tesmaro run record 2";
constexpr std::string_view kLegacyHeader = "Tesmaro run record 1";
// A record file larger than this is no record of ours; 100,000 unfiled
// batches with long names take about 20 MiB.
constexpr std::size_t kRecordLimit = std::size_t{64} << 20;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

constexpr std::array<std::string_view, 7> kStageWords = {
    "handing-over", "accepted", "printing", "summarising", "processed", "refused", "failed"};

// Names may hold blanks, line ends and bytes of any kind: every byte that is
// not a visible ASCII character, and "%" itself, is written as "%XX".
void AppendEncoded(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && byte != '%') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        }
    }
}

// A title may be empty (a file named ".olb"): it is written as "-" then,
// which no encoded title can be.
void AppendTitle(std::string& out, const std::string& title) {
    if (title.empty() || title == "-")
        out += title.empty() ? "-" : "%2D";
    else
        AppendEncoded(out, title);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Decoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<std::string> DecodedTitle(std::string_view text) {
    return text == "-" ? std::optional<std::string>(std::string()) : Decoded(text);
}

template <typename Number> bool ParseNumber(std::string_view text, Number& value, int base = 10) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc{} && end == text.data() + text.size();
}

// Splits a line at single blanks into exactly `count` non-empty fields.
template <std::size_t count>
bool SplitFields(std::string_view line, std::array<std::string_view, count>& fields) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto blank = i + 1 < count ? line.find(' ') : std::string_view::npos;
        fields[i] = line.substr(0, blank);
        if (fields[i].empty())
            return false;
        if (i + 1 < count) {
            if (blank == std::string_view::npos)
                return false;
            line.remove_prefix(blank + 1);
        } else if (fields[i].find(' ') != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool ParseStage(std::string_view word, RunStage& stage) {
    for (std::size_t i = 0; i < kStageWords.size(); ++i) {
        if (kStageWords[i] == word) {
            stage = static_cast<RunStage>(i);
            return true;
        }
    }
    return false;
}

// "stage inode born-s born-ns size mtime-s mtime-ns digest title name"
std::optional<RunEntry> ParseEntry(std::string_view line) {
    std::array<std::string_view, 10> f;
    RunEntry e;
    platform::FileIdentity& id = e.identity;
    if (!SplitFields(line, f) || !ParseStage(f[0], e.stage) || !ParseNumber(f[1], id.inode) ||
        !ParseNumber(f[2], id.bornSeconds) || !ParseNumber(f[3], id.bornNanoseconds) ||
        !ParseNumber(f[4], id.size) || !ParseNumber(f[5], id.modifiedSeconds) ||
        !ParseNumber(f[6], id.modifiedNanoseconds) || !ParseNumber(f[7], id.digest, 16))
        return std::nullopt;
    std::optional<std::string> title = DecodedTitle(f[8]);
    std::optional<std::string> name = Decoded(f[9]);
    if (!title || !name || name->empty() || name->find('/') != std::string::npos)
        return std::nullopt;
    e.title = std::move(*title);
    e.name = std::move(*name);
    return e;
}

// "stage device inode born-s born-ns title path", as earlier versions wrote.
std::optional<LegacyRunEntry> ParseLegacyEntry(std::string_view line) {
    std::array<std::string_view, 7> f;
    LegacyRunEntry legacy;
    RunEntry& e = legacy.entry;
    if (!SplitFields(line, f) || !ParseStage(f[0], e.stage) ||
        !ParseNumber(f[1], e.identity.device) || !ParseNumber(f[2], e.identity.inode) ||
        !ParseNumber(f[3], e.identity.bornSeconds) ||
        !ParseNumber(f[4], e.identity.bornNanoseconds))
        return std::nullopt;
    std::optional<std::string> title = DecodedTitle(f[5]);
    std::optional<std::string> path = Decoded(f[6]);
    if (!title || !path || path->empty())
        return std::nullopt;
    e.title = std::move(*title);
    legacy.path = std::move(*path);
    e.name = platform::SplitPath(legacy.path).name;
    return legacy;
}

// Calls `take` for every line that holds something, with its number, after
// the header line; false (with the line's number) when the header is not
// `header` or `take` refuses a line. An empty text is an empty record.
template <typename Take>
bool ForEachLine(std::string_view text, std::string_view header, int* badLine, Take take) {
    if (text.starts_with(kByteOrderMark))
        text.remove_prefix(kByteOrderMark.size());
    bool headerSeen = false;
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        const bool good = headerSeen ? take(line) : line == header;
        headerSeen = true;
        if (!good) {
            if (badLine != nullptr)
                *badLine = number;
            return false;
        }
    }
    return true;
}

// Every entry of the text, each line read by `parse`; nothing when a line is
// refused.
template <typename Parse>
auto ParseLines(std::string_view text, std::string_view header, int* badLine, Parse parse)
    -> std::optional<std::vector<typename decltype(parse(std::string_view()))::value_type>> {
    std::vector<typename decltype(parse(std::string_view()))::value_type> entries;
    const bool read = ForEachLine(text, header, badLine, [&](std::string_view line) {
        auto entry = parse(line);
        if (entry)
            entries.push_back(std::move(*entry));
        return entry.has_value();
    });
    if (!read)
        return std::nullopt;
    return entries;
}

} // namespace

std::string FormatRunRecord(const std::vector<RunEntry>& entries) {
    std::string text(kHeader);
    text.push_back('\n');
    text.reserve(entries.size() * 96);
    char digest[17];
    for (const RunEntry& e : entries) {
        const platform::FileIdentity& id = e.identity;
        text += kStageWords[static_cast<std::size_t>(e.stage)];
        text += ' ' + std::to_string(id.inode) + ' ' + std::to_string(id.bornSeconds) + ' ' +
                std::to_string(id.bornNanoseconds) + ' ' + std::to_string(id.size) + ' ' +
                std::to_string(id.modifiedSeconds) + ' ' + std::to_string(id.modifiedNanoseconds) +
                ' ';
        const auto [end, error] = std::to_chars(digest, digest + sizeof digest, id.digest, 16);
        text.append(digest, end);
        text.push_back(' ');
        AppendTitle(text, e.title);
        text.push_back(' ');
        AppendEncoded(text, e.name);
        text.push_back('\n');
    }
    return text;
}

std::optional<std::vector<RunEntry>> ParseRunRecord(const std::string& text, int* badLine) {
    return ParseLines(text, kHeader, badLine, ParseEntry);
}

std::optional<std::vector<LegacyRunEntry>> ParseLegacyRunRecord(const std::string& text) {
    return ParseLines(text, kLegacyHeader, nullptr, ParseLegacyEntry);
}

std::string FormatLegacyRunRecord(const std::vector<LegacyRunEntry>& entries) {
    std::string text(kLegacyHeader);
    text.push_back('\n');
    for (const LegacyRunEntry& legacy : entries) {
        const RunEntry& e = legacy.entry;
        text += kStageWords[static_cast<std::size_t>(e.stage)];
        text += ' ' + std::to_string(e.identity.device) + ' ' + std::to_string(e.identity.inode) +
                ' ' + std::to_string(e.identity.bornSeconds) + ' ' +
                std::to_string(e.identity.bornNanoseconds) + ' ';
        AppendTitle(text, e.title);
        text.push_back(' ');
        AppendEncoded(text, legacy.path);
        text.push_back('\n');
    }
    return text;
}

StateFileRunRecordStore::StateFileRunRecordStore(std::string path, platform::FileOps& ops,
                                                 mode_t mode)
    : m_file(std::make_unique<platform::StateFile>(std::move(path), ops, kRecordLimit, mode)) {}

StateFileRunRecordStore::~StateFileRunRecordStore() = default;

RunRecordStore::Loaded StateFileRunRecordStore::Load() {
    using Result = Loaded::Result;
    std::string text;
    switch (m_file->Read(text)) {
    case platform::StateFile::ReadResult::Read:
        return {Result::Read, std::move(text), 0};
    case platform::StateFile::ReadResult::Missing:
        return {};
    case platform::StateFile::ReadResult::Unusable:
        return {Result::Unusable, {}, 0};
    case platform::StateFile::ReadResult::Failed:
        break;
    }
    return {Result::Unreadable, {}, errno};
}

bool StateFileRunRecordStore::Save(const std::string& text) {
    return m_file->Write(text);
}

void StateFileRunRecordStore::Sweep() {
    m_file->RemoveTemporaries();
}

std::string StateFileRunRecordStore::Where() const {
    return m_file->Path();
}

void RunRecord::UseStore(RunRecordStore* store) {
    // Nothing is known of the new store's record until it is loaded.
    m_store = store;
    m_entries.clear();
    m_live.clear();
    m_erased = 0;
    m_dirty = false;
    m_loaded = false;
    m_indexStale = true;
}

RecordLoad RunRecord::Load() {
    UseStore(m_store);
    if (m_store == nullptr)
        return {RecordLoad::Result::Unreadable, ENOENT, 0};
    const RunRecordStore::Loaded loaded = m_store->Load();
    using Result = RunRecordStore::Loaded::Result;
    switch (loaded.result) {
    case Result::Unreadable:
        return {RecordLoad::Result::Unreadable, loaded.error, 0};
    case Result::Unusable:
        return {RecordLoad::Result::Damaged, 0, 0};
    case Result::Missing:
        break;
    case Result::Read: {
        int badLine = 0;
        std::optional<std::vector<RunEntry>> entries = ParseRunRecord(loaded.text, &badLine);
        if (!entries)
            return {RecordLoad::Result::Damaged, 0, badLine};
        m_entries = std::move(*entries);
        m_live.assign(m_entries.size(), true);
        break;
    }
    }
    m_loaded = true;
    return {};
}

bool RunRecord::Save() {
    if (!m_dirty)
        return true;
    // What could not be read is never overwritten.
    if (!m_loaded || m_store == nullptr) {
        errno = EIO;
        return false;
    }
    if (!m_store->Save(FormatRunRecord(Entries())))
        return false;
    m_dirty = false;
    return true;
}

const std::vector<RunEntry>& RunRecord::Entries() const {
    Compact();
    return m_entries;
}

void RunRecord::Compact() const {
    if (m_erased == 0)
        return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        if (m_live[i] && kept++ != i)
            m_entries[kept - 1] = std::move(m_entries[i]);
    m_entries.resize(kept);
    m_live.assign(kept, true);
    m_erased = 0;
    m_indexStale = true;
}

void RunRecord::Reindex() const {
    if (!m_indexStale)
        return;
    Compact();
    m_byName.clear();
    m_byInode.clear();
    m_byName.reserve(m_entries.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        m_byName.emplace(m_entries[i].name, i);
        if (m_entries[i].identity.HasBirthTime())
            m_byInode.emplace(m_entries[i].identity.inode, i);
    }
    m_indexStale = false;
}

std::vector<const RunEntry*> RunRecord::Candidates(const std::string& name,
                                                   const platform::FileIdentity& identity) const {
    std::vector<const RunEntry*> found;
    if (IsEmpty())
        return found;
    Reindex();
    const auto [first, last] = m_byName.equal_range(name);
    for (auto it = first; it != last; ++it)
        found.push_back(&m_entries[it->second]);
    if (identity.HasBirthTime()) {
        const auto [from, to] = m_byInode.equal_range(identity.inode);
        for (auto it = from; it != to; ++it)
            if (m_entries[it->second].name != name)
                found.push_back(&m_entries[it->second]);
    }
    return found;
}

const RunEntry* RunRecord::Exact(const std::string& name,
                                 const platform::FileIdentity& identity) const {
    return const_cast<RunRecord*>(this)->Find(name, identity);
}

RunEntry* RunRecord::Find(const std::string& name, const platform::FileIdentity& identity) {
    if (IsEmpty())
        return nullptr;
    Reindex();
    const auto [first, last] = m_byName.equal_range(name);
    for (auto it = first; it != last; ++it)
        if (m_entries[it->second].identity == identity)
            return &m_entries[it->second];
    return nullptr;
}

void RunRecord::Put(const RunEntry& given) {
    const RunEntry entry = given; // may be one of ours, which a compaction moves
    if (RunEntry* known = Find(entry.name, entry.identity)) {
        *known = entry;
    } else {
        m_entries.push_back(entry);
        m_live.push_back(true);
        if (!m_indexStale) {
            m_byName.emplace(entry.name, m_entries.size() - 1);
            if (entry.identity.HasBirthTime())
                m_byInode.emplace(entry.identity.inode, m_entries.size() - 1);
        }
    }
    m_dirty = true;
}

void RunRecord::SetStage(const RunEntry& entry, RunStage stage) {
    // The entry may be one of ours, which a compaction inside Find moves.
    const std::string name = entry.name;
    RunEntry* known = Find(name, platform::FileIdentity(entry.identity));
    if (known == nullptr || known->stage == stage)
        return;
    known->stage = stage;
    m_dirty = true;
}

void RunRecord::SetIdentity(const RunEntry& entry, const platform::FileIdentity& identity) {
    const std::string name = entry.name;
    RunEntry* known = Find(name, platform::FileIdentity(entry.identity));
    if (known == nullptr || known->identity == identity)
        return;
    known->identity = identity;
    m_indexStale = true;
    m_dirty = true;
}

void RunRecord::Erase(const RunEntry& entry) {
    const std::string name = entry.name;
    const RunEntry* known = Find(name, platform::FileIdentity(entry.identity));
    if (known == nullptr)
        return;
    const auto at = static_cast<std::size_t>(known - m_entries.data());
    // Out of the index at once; out of the list at the next Compact.
    const auto drop = [at](auto& index, const auto& key) {
        const auto [first, last] = index.equal_range(key);
        for (auto it = first; it != last; ++it) {
            if (it->second == at) {
                index.erase(it);
                return;
            }
        }
    };
    drop(m_byName, known->name);
    if (known->identity.HasBirthTime())
        drop(m_byInode, known->identity.inode);
    m_live[at] = false;
    ++m_erased;
    m_dirty = true;
}

} // namespace engine
