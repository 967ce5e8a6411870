#pragma once

#include "platform/FileIdentity.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class StateFile;
}

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

// A batch the record remembers: which file it is, where it was found and
// under which title, and how far it came.
struct RunEntry {
    platform::FileIdentity identity;
    std::string path;
    std::string title;
    RunStage stage = RunStage::HandingOver;

    // Handed over or about to be, and not yet finished by the suite.
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
    // The stored text; nothing when there is none (a link, an odd file or an
    // oversized one is set aside by the store and counts as none). Unreadable:
    // something is stored but cannot be read now.
    struct Loaded {
        std::optional<std::string> text;
        bool unreadable = false;
    };
    virtual Loaded Load() = 0;
    // Replaces the stored text durably; false when it is not on disk.
    virtual bool Save(const std::string& text) = 0;
    // Keeps a damaged record under another name, so that nothing is lost.
    virtual void SetAside() = 0;
};

// A store that lives as long as the process: the record then holds within one
// run only.
class MemoryRunRecordStore final : public RunRecordStore {
public:
    Loaded Load() override { return {text, unreadable}; }
    bool Save(const std::string& newText) override {
        if (failSaves)
            return false;
        text = newText;
        ++saves;
        return true;
    }
    void SetAside() override {
        setAside = text;
        text.reset();
    }

    std::optional<std::string> text;
    std::optional<std::string> setAside;
    bool failSaves = false;
    bool unreadable = false;
    int saves = 0;
};

// The record in a file of its own, written durably; see platform::StateFile.
// A record that is a link, an odd file or oversized is set aside on reading.
class StateFileRunRecordStore final : public RunRecordStore {
public:
    explicit StateFileRunRecordStore(std::string path);
    ~StateFileRunRecordStore() override;
    Loaded Load() override;
    bool Save(const std::string& text) override;
    void SetAside() override;

private:
    std::unique_ptr<platform::StateFile> m_file;
};

// The batches that have been handed over, or were refused or failed, and are
// not yet filed: the memory that keeps a batch from running twice, across
// restarts and crashes as well. Changes are made in memory and written with
// Save, once per change of stage.
class RunRecord {
public:
    explicit RunRecord(RunRecordStore& store) : m_store(&store) {}

    // Reads the stored record. A damaged one is set aside and the record
    // starts empty. False when a stored record cannot be read now: nothing is
    // known of what ran, and nothing may be handed over until it is read.
    bool Load();
    // Writes the record when it changed since the last write; true when what
    // is in memory is on disk.
    bool Save();

    // The entry of this file; identities decide, paths only where a file's
    // identity is unknown.
    const RunEntry* Find(const platform::FileIdentity& identity, const std::string& path) const;
    void Put(const RunEntry& entry);
    void SetStage(const platform::FileIdentity& identity, const std::string& path, RunStage stage);
    void Erase(const platform::FileIdentity& identity, const std::string& path);

    const std::vector<RunEntry>& Entries() const { return m_entries; }
    bool IsEmpty() const { return m_entries.empty(); }

private:
    RunEntry* FindMutable(const platform::FileIdentity& identity, const std::string& path);

    RunRecordStore* m_store;
    std::vector<RunEntry> m_entries;
    bool m_dirty = false;
};

// The record as text and back; nothing when the text is damaged.
std::string FormatRunRecord(const std::vector<RunEntry>& entries);
std::optional<std::vector<RunEntry>> ParseRunRecord(const std::string& text);

} // namespace engine
