#pragma once

#include "engine/CBatch.h"
#include "engine/EngineServices.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace engine {

// One file of the queue directory, as a search found it.
struct QueueFile {
    std::string name;
    std::string path;
};

// The name of the batch's own file.
std::string BatchFileName(const CBatch& batch);

// The one rule for which files belong to a batch: its own file, also without
// an extension, and every name that is its title, a "." and more, except a
// name with the batch file's own extension under another title: B.x.olb is a
// batch of its own, never B.olb's, while B.rpt and B.x.csv are B's. An empty
// title takes nothing else, so a batch named ".olb" never takes the
// directory's other dotfiles.
bool BelongsToBatch(const std::string& name, const CBatch& batch);

// The files, not directories, of one search of the queue directory, and which
// of them belong to which batch (by BelongsToBatch, in the search's order). A
// file is handed out until it is taken: once moved, it belongs to nobody else.
class QueueFiles {
public:
    // Names in `ownNames` (Tesmaro's own files) are left out.
    QueueFiles(const FinderFactory& finders, const std::string& pattern,
               const std::vector<std::string>& ownNames = {});
    // A search wide enough for the files of this batch alone.
    static QueueFiles For(const FinderFactory& finders, const std::string& queueDir,
                          const CBatch& batch, const std::vector<std::string>& ownNames = {});

    std::vector<const QueueFile*> Of(const CBatch& batch) const;
    void Take(const QueueFile* file);

private:
    std::vector<QueueFile> m_files;
    std::vector<bool> m_taken;
    // Every title a file may belong to: its name up to each of its dots, so
    // that B.a.olb is found for B and for B.a; and every whole name.
    std::unordered_map<std::string_view, std::vector<std::size_t>> m_byTitle;
    std::unordered_map<std::string_view, std::size_t> m_byName;
};

} // namespace engine
