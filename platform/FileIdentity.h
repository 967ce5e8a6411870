#pragma once

#include <cstdint>
#include <string>

struct statx;

namespace platform {

class FileOps;

// Which file a name leads to, rather than the name itself: a new file dropped
// under an old name is another file.
//
// Device numbers and, on network and FUSE file systems, inode numbers can
// change when a disk is mounted again, so a file is told from another by what
// stays stable where it lives: its inode and birth time where the file system
// records a birth time, and otherwise its size, modification time and a digest
// of its content (filled in only where a comparison needs it). The device is
// kept for checks within one run (two names of one file).
struct FileIdentity {
    // The two nanosecond fields share eight bytes: an identity is kept for
    // every waiting batch.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t bornSeconds = 0; // zero where the file system keeps no birth time
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::uint64_t digest = 0; // zero until computed; see ContentDigest
    std::uint32_t bornNanoseconds = 0;
    std::uint32_t modifiedNanoseconds = 0;

    // An identity that no file was asked for (a scripted or empty entry).
    bool Known() const { return inode != 0; }
    bool HasBirthTime() const { return bornSeconds != 0 || bornNanoseconds != 0; }
    bool operator==(const FileIdentity&) const = default;
};

// The fields statx must be asked for so that IdentityOf has what it needs.
unsigned IdentityStatxMask();

// The identity a statx result describes (without a digest).
FileIdentity IdentityOf(const struct statx& stx);

// The identity of the entry at `path`, never following a final symbolic link.
// False with errno set when it cannot be read.
bool IdentifyAt(FileOps& ops, const std::string& path, FileIdentity& identity);

// Same device and inode: two names of one file within this run, whatever their
// birth times say.
inline bool SameInode(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode;
}

// The same file within this run: device, inode and birth time. Cheap; for the
// checks between a scan and the use of what it found.
inline bool SameFileNow(const FileIdentity& a, const FileIdentity& b) {
    return SameInode(a, b) && a.bornSeconds == b.bornSeconds &&
           a.bornNanoseconds == b.bornNanoseconds;
}

// How two identities of files under one name compare once the device is left
// out (the disk may have come back under another number).
enum class Sameness {
    Same,
    Different,
    NeedsDigest, // size and modification time agree; only the content can tell
};
Sameness CompareStable(const FileIdentity& recorded, const FileIdentity& found);

// At most this much of a file is read for its digest: the first half and the
// last half of this bound, with the size in the digest as well.
inline constexpr std::int64_t kDigestedBytes = std::int64_t{1} << 20;

// A 64-bit digest of the content of the file open on `fd` (read from its start;
// the position is left at the end of what was read), never zero. Zero when it
// cannot be read.
std::uint64_t ContentDigest(FileOps& ops, int fd);

} // namespace platform
