#include "engine/RunRecord.h"

#include "platform/StateFile.h"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

namespace engine {

namespace {

constexpr std::string_view kHeader = "Tesmaro run record 1";
// At most this many entries: more is a damaged record, not a real queue's.
constexpr std::size_t kMaxEntries = 100'000;

constexpr std::array<std::string_view, 7> kStageWords = {
    "handing-over", "accepted", "printing", "summarising", "processed", "refused", "failed"};

bool SamePlace(const RunEntry& entry, const platform::FileIdentity& identity,
               const std::string& path) {
    if (entry.identity.Known() && identity.Known())
        return entry.identity == identity;
    return entry.path == path;
}

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

template <typename Number> bool ParseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
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

std::optional<RunEntry> ParseEntry(std::string_view line) {
    std::array<std::string_view, 7> f;
    if (!SplitFields(line, f))
        return std::nullopt;
    RunEntry entry;
    std::size_t stage = 0;
    while (stage < kStageWords.size() && kStageWords[stage] != f[0])
        ++stage;
    if (stage == kStageWords.size())
        return std::nullopt;
    entry.stage = static_cast<RunStage>(stage);
    if (!ParseNumber(f[1], entry.identity.device) || !ParseNumber(f[2], entry.identity.inode) ||
        !ParseNumber(f[3], entry.identity.bornSeconds) ||
        !ParseNumber(f[4], entry.identity.bornNanoseconds))
        return std::nullopt;
    // A title may be empty (a file named ".olb"): it is written as "-" then,
    // which no encoded title can be.
    std::optional<std::string> title =
        f[5] == "-" ? std::optional<std::string>(std::string()) : Decoded(f[5]);
    std::optional<std::string> path = Decoded(f[6]);
    if (!title || !path || path->empty())
        return std::nullopt;
    entry.title = std::move(*title);
    entry.path = std::move(*path);
    return entry;
}

} // namespace

std::string FormatRunRecord(const std::vector<RunEntry>& entries) {
    std::string text(kHeader);
    text.push_back('\n');
    for (const RunEntry& e : entries) {
        text += kStageWords[static_cast<std::size_t>(e.stage)];
        text += ' ' + std::to_string(e.identity.device) + ' ' + std::to_string(e.identity.inode) +
                ' ' + std::to_string(e.identity.bornSeconds) + ' ' +
                std::to_string(e.identity.bornNanoseconds) + ' ';
        if (e.title.empty() || e.title == "-")
            text += e.title.empty() ? "-" : "%2D";
        else
            AppendEncoded(text, e.title);
        text.push_back(' ');
        AppendEncoded(text, e.path);
        text.push_back('\n');
    }
    return text;
}

std::optional<std::vector<RunEntry>> ParseRunRecord(const std::string& text) {
    std::string_view rest = text;
    std::vector<RunEntry> entries;
    bool header = true;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt; // cut short: the last line has no end
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        if (header) {
            if (line != kHeader)
                return std::nullopt;
            header = false;
            continue;
        }
        std::optional<RunEntry> entry = ParseEntry(line);
        if (!entry || entries.size() >= kMaxEntries)
            return std::nullopt;
        entries.push_back(std::move(*entry));
    }
    if (header)
        return std::nullopt;
    return entries;
}

StateFileRunRecordStore::StateFileRunRecordStore(std::string path)
    : m_file(std::make_unique<platform::StateFile>(std::move(path))) {}

StateFileRunRecordStore::~StateFileRunRecordStore() = default;

RunRecordStore::Loaded StateFileRunRecordStore::Load() {
    std::string text;
    switch (m_file->Read(text)) {
    case platform::StateFile::ReadResult::Read:
        return {std::move(text), false};
    case platform::StateFile::ReadResult::Failed:
        return {std::nullopt, true};
    default:
        return {};
    }
}

bool StateFileRunRecordStore::Save(const std::string& text) {
    // The directory is made on the first write, and again should it be removed.
    return m_file->Write(text) || (m_file->MakeParentDirectories() && m_file->Write(text));
}

void StateFileRunRecordStore::SetAside() {
    m_file->SetAside();
}

bool RunRecord::Load() {
    m_entries.clear();
    m_dirty = false;
    const RunRecordStore::Loaded loaded = m_store->Load();
    if (loaded.unreadable)
        return false;
    if (!loaded.text || loaded.text->empty())
        return true;
    std::optional<std::vector<RunEntry>> entries = ParseRunRecord(*loaded.text);
    if (!entries) {
        m_store->SetAside();
        return true;
    }
    m_entries = std::move(*entries);
    return true;
}

bool RunRecord::Save() {
    if (!m_dirty)
        return true;
    if (!m_store->Save(FormatRunRecord(m_entries)))
        return false;
    m_dirty = false;
    return true;
}

const RunEntry* RunRecord::Find(const platform::FileIdentity& identity,
                                const std::string& path) const {
    for (const RunEntry& entry : m_entries)
        if (SamePlace(entry, identity, path))
            return &entry;
    return nullptr;
}

RunEntry* RunRecord::FindMutable(const platform::FileIdentity& identity, const std::string& path) {
    return const_cast<RunEntry*>(std::as_const(*this).Find(identity, path));
}

void RunRecord::Put(const RunEntry& entry) {
    if (RunEntry* known = FindMutable(entry.identity, entry.path))
        *known = entry;
    else
        m_entries.push_back(entry);
    m_dirty = true;
}

void RunRecord::SetStage(const platform::FileIdentity& identity, const std::string& path,
                         RunStage stage) {
    RunEntry* entry = FindMutable(identity, path);
    if (entry == nullptr || entry->stage == stage)
        return;
    entry->stage = stage;
    m_dirty = true;
}

void RunRecord::Erase(const platform::FileIdentity& identity, const std::string& path) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (SamePlace(*it, identity, path)) {
            m_entries.erase(it);
            m_dirty = true;
            return;
        }
    }
}

} // namespace engine
