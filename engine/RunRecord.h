#pragma once

#include "platform/FileIdentity.h"

#include <sys/types.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {
class FileOps;
class StateFile;
} // namespace platform

namespace engine {

// How far a batch has come on its way through the suite. Ordered: a batch
// only moves forward.
enum class RunStage {
    HandingOver, // the hand-over call was about to be made
    Accepted,    // the suite took it and runs it
    Printing,    // the report viewer was started for it
    Summarising, // the summary viewer was started for it
    Processed,   // it ran and is to be filed into Processed
    Refused,     // the suite refused it; to be filed into Failed
    Failed,      // it cannot be read or was aborted; to be filed into Failed
};

// A batch the record remembers: which file it is, its name in the queue
// directory and its title, and how far it came.
struct RunEntry {
    platform::FileIdentity identity;
    std::string name;
    std::string title;
    RunStage stage = RunStage::HandingOver;

    // Handed over (or about to be) and not yet through with its viewers: the
    // suite may still run it, and its files stay in the queue directory.
    bool InFlight() const { return stage <= RunStage::Summarising; }
    // Finished one way or the other; only its filing is left.
    bool AwaitsFiling() const { return !InFlight(); }
    // Where it is filed once it awaits filing: Processed (true) or Failed.
    bool ToProcessed() const { return stage == RunStage::Processed; }
};

// Where the record lives between runs of the program.
class RunRecordStore {
public:
    virtual ~RunRecordStore() = default;
    struct Loaded {
        enum class Result {
            Missing,    // nothing is stored: the record is empty
            Read,       // `text` holds what is stored
            Unusable,   // something that is no record file is there (a link, a FIFO, too large)
            Unreadable, // something is stored but cannot be read now (`error`)
        };
        Result result = Result::Missing;
        std::string text;
        int error = 0;
    };
    virtual Loaded Load() = 0;
    // Replaces the stored text durably; false (errno set) when it is not on disk.
    virtual bool Save(const std::string& text) = 0;
    // Removes what interrupted writes left; called by the only writer.
    virtual void Sweep() {}
    // For the log: where the record is.
    virtual std::string Where() const { return {}; }
};

// A store that lives as long as the process: the record then holds within one
// run only.
class MemoryRunRecordStore final : public RunRecordStore {
public:
    Loaded Load() override {
        if (unreadable)
            return {Loaded::Result::Unreadable, {}, EIO};
        if (!text)
            return {};
        return {Loaded::Result::Read, *text, 0};
    }
    bool Save(const std::string& newText) override {
        if (failSaves) {
            errno = ENOSPC;
            return false;
        }
        text = newText;
        ++saves;
        return true;
    }

    std::optional<std::string> text;
    bool failSaves = false;
    bool unreadable = false;
    int saves = 0;
};

// The record in a file of its own, written durably; see platform::StateFile.
// Never set aside or overwritten when it cannot be read: the administrator
// decides.
class StateFileRunRecordStore final : public RunRecordStore {
public:
    StateFileRunRecordStore(std::string path, platform::FileOps& ops, mode_t mode = 0600);
    ~StateFileRunRecordStore() override;
    Loaded Load() override;
    bool Save(const std::string& text) override;
    void Sweep() override;
    std::string Where() const override;

private:
    std::unique_ptr<platform::StateFile> m_file;
};

// How reading the record went.
struct RecordLoad {
    enum class Result { Read, Damaged, Unreadable };
    Result result = Result::Read;
    int error = 0; // the errno for Unreadable
    int line = 0;  // the first line that could not be read, for Damaged (0: not a record file)
};

// The batches that have been handed over, or were refused or failed, and are
// not yet filed: the memory that keeps a batch from running twice, across
// restarts and crashes as well. Changes are made in memory and written with
// Save, once per change of stage.
class RunRecord {
public:
    explicit RunRecord(RunRecordStore* store = nullptr) : m_store(store) {}

    // Where the record is kept from now on; what is in memory is dropped.
    void UseStore(RunRecordStore* store);
    RunRecordStore* Store() const { return m_store; }

    // Reads the stored record. A record that cannot be read or is damaged
    // leaves the record empty and is never overwritten: Save refuses until a
    // Load succeeds.
    RecordLoad Load();
    bool Loaded() const { return m_loaded; }
    // Writes the record when it changed since the last write; true when what
    // is in memory is on disk. False with errno set otherwise.
    bool Save();
    bool Dirty() const { return m_dirty; }

    // The entries that may be the file `name` with `identity`: those under the
    // name, and those of the same inode where a birth time tells them apart (a
    // batch renamed in the queue directory). The caller decides which is it.
    std::vector<const RunEntry*> Candidates(const std::string& name,
                                            const platform::FileIdentity& identity) const;
    // The entry with exactly this name and identity.
    const RunEntry* Exact(const std::string& name, const platform::FileIdentity& identity) const;
    void Put(const RunEntry& given);
    void SetStage(const RunEntry& entry, RunStage stage);
    // The file was seen again with fuller or newer details (a digest).
    void SetIdentity(const RunEntry& entry, const platform::FileIdentity& identity);
    void Erase(const RunEntry& entry);

    const std::vector<RunEntry>& Entries() const;
    bool IsEmpty() const { return m_entries.size() == m_erased; }

private:
    RunEntry* Find(const std::string& name, const platform::FileIdentity& identity);
    void Reindex() const;
    // Drops the erased entries; positions change, so the index is rebuilt.
    void Compact() const;

    RunRecordStore* m_store;
    // Erased entries stay in place until the next Compact, so that erasing
    // many in one tick does not rebuild the index each time.
    mutable std::vector<RunEntry> m_entries;
    mutable std::vector<bool> m_live;
    mutable std::size_t m_erased = 0;
    bool m_dirty = false;
    bool m_loaded = false;
    // Positions by name and by inode, rebuilt after an erase.
    mutable std::unordered_multimap<std::string, std::size_t> m_byName;
    mutable std::unordered_multimap<std::uint64_t, std::size_t> m_byInode;
    mutable bool m_indexStale = true;
};

// The record as text and back; nothing when the text is damaged, with the
// first bad line in `badLine`. Byte-order marks, CR line ends, blank lines and
// a missing final line end are read as intended.
std::string FormatRunRecord(const std::vector<RunEntry>& entries);
std::optional<std::vector<RunEntry>> ParseRunRecord(const std::string& text,
                                                    int* badLine = nullptr);

// An entry of the per-user record that earlier versions kept in the home
// directory, by full path.
struct LegacyRunEntry {
    RunEntry entry; // name is the file's name
    std::string path;
};
std::optional<std::vector<LegacyRunEntry>> ParseLegacyRunRecord(const std::string& text);
std::string FormatLegacyRunRecord(const std::vector<LegacyRunEntry>& entries);

} // namespace engine
