#pragma once

#include "platform/FileIdentity.h"

#include <cstdint>
#include <string>
#include <vector>

namespace external {

// The file finder through which every directory search and every existence test
// goes. A search names a path whose last component may hold the wildcards '*'
// and '?'; a path without wildcards matches exactly that file or directory.
//
// The finder refuses, so that they look absent, symbolic links and every entry
// that is neither a regular file nor a directory (FIFOs, sockets, devices): the
// queue directory is written by other programs and is never trusted. "." and
// ".." are never yielded. Matches come sorted by name in byte order, so equal
// creation times still give a fixed order.
class CFileFindS {
public:
    // One match of a search.
    struct Entry {
        std::string name;
        std::int64_t created = 0;
        std::int64_t lastWrite = 0;
        bool directory = false;
        platform::FileIdentity identity{};
        std::uint32_t createdNanoseconds = 0;
    };

    CFileFindS() = default;
    virtual ~CFileFindS();
    CFileFindS(const CFileFindS&) = delete;
    CFileFindS& operator=(const CFileFindS&) = delete;

    // Opens a search; non-zero when at least one entry matches. No entry is
    // current until FindNextFileA is called. The second argument is unused.
    virtual int FindFile(const std::string& name, int unused = 0);

    // Makes the next match current; non-zero when further matches follow, 0 when
    // the entry just made current is the last one.
    virtual int FindNextFileA();

    // Ends the search and gives its storage back. A later search with the
    // same finder reuses the storage of the one before unless it was closed,
    // so a finder kept for one repeated search allocates nothing once the
    // directory stops growing.
    void Close();

    // Accessors of the current entry.
    std::string GetFileName() const;
    // The name without its last extension: "a.b.olb" gives "a.b".
    std::string GetFileTitle() const;
    // The search's directory as the kernel resolved it (absolute, with no
    // symbolic link, "." or ".." left), "/", then the name: the very file that
    // was listed, even when the search named its directory through a link.
    std::string GetFilePath() const;
    // Birth time where the file system records one, else the status-change time;
    // calendar seconds (UTC).
    std::int64_t GetCreationTime() const;
    std::int64_t GetLastWriteTime() const;
    // The creation time's fraction of a second (0 where the file system keeps none).
    std::uint32_t GetCreationNanoseconds() const;
    bool IsDirectory() const;
    // Which file the current entry is (device, inode, birth time).
    platform::FileIdentity GetFileIdentity() const;

    // The current entry itself, or null before the first FindNextFileA; and
    // the directory its path starts with (ending in "/"). For callers that
    // copy many matches into storage of their own without a string made per
    // accessor.
    const Entry* CurrentEntry() const { return m_hasCurrent ? &m_described[m_current] : nullptr; }
    const std::string& Root() const { return m_root; }

protected:
    // Lets a derived finder (tests, fault injection) supply its own matches.
    void SetMatches(std::string root, std::vector<Entry> entries);

private:
    // Ends a search that found nothing.
    int NoMatches();
    // Describes the next listed name that is still a regular file or a
    // directory into m_ahead; false when none is left.
    bool DescribeAhead();
    void CloseDirectory();

    std::string m_root; // resolved absolute directory, ending in "/"
    // A wildcard search lists the matching names only; each is described
    // (statx) as the walk reaches it, so a search holds a few bytes per match
    // rather than a whole entry. Matches set by a derived finder are kept
    // whole instead.
    std::string m_names;                 // the listed names, one after the other
    std::vector<std::size_t> m_nameEnds; // where each listed name ends in m_names
    std::vector<std::size_t> m_order;    // listed names' indices in byte order of the names
    bool m_orderByName = false;          // m_order was sorted from the names listed
    int m_dirFd = -1;                    // the listed directory, while the walk goes on
    std::vector<Entry> m_given;          // matches set by SetMatches, in their order
    std::size_t m_next = 0;              // the next name (or given match) to describe
    // The current match and the one after it, taking turns in two places so
    // that neither is copied.
    Entry m_described[2];
    std::size_t m_current = 0; // where the current match is; the one after is in the other
    bool m_hasCurrent = false;
    bool m_hasAhead = false;
    Entry& Ahead() { return m_described[1 - m_current]; }
};

} // namespace external
