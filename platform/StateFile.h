#pragma once

#include "platform/FileOps.h"

#include <cstddef>
#include <string>

namespace platform {

// A small text file that survives crashes and power loss whole: every write
// goes to a fresh temporary file beside it, is flushed, renamed over it, and
// the directory is flushed. It is never read or written through a link.
//
// The temporary file is named "<name>.tmp-<pid>-<n>" (the name cut short when
// needed so that the whole fits in one directory entry), created exclusively
// with mode 0600 and removed again on any failure; one that a killed write
// left behind is removed by RemoveTemporaries.
class StateFile {
public:
    // `mode` is the file's mode whatever the umask (a record shared by a
    // group is written with group access).
    explicit StateFile(std::string path, FileOps& ops = DefaultFileOps(),
                       std::size_t limit = 1 << 20, mode_t mode = 0600)
        : m_path(std::move(path)), m_ops(ops), m_limit(limit), m_mode(mode) {}

    enum class ReadResult {
        Read,     // `content` holds the whole file
        Missing,  // nothing is at the path
        Unusable, // something is there that cannot be a state file; it is left as it is
        Failed,   // something is there but could not be read
    };

    // Reads the whole file into `content`, which is left empty unless the
    // result is Read. A link, anything that is not a regular file, and a file
    // larger than the limit are reported as Unusable and left exactly where
    // they are (the caller may call SetAside); none of them is followed,
    // opened in a way that could block, or read beyond the limit. A file that
    // exists but cannot be read (EACCES, EIO) is left where it is and reported
    // as Failed.
    ReadResult Read(std::string& content);

    // Replaces the file's content durably. False on any failure; a failure
    // before the new content takes the file's name leaves the old content
    // whole and no temporary file behind. Content larger than the limit is
    // refused, since it could never be read back. When only the final flush of
    // the directory fails, the new content is in place but not known to
    // survive a power loss, and the answer is false all the same.
    bool Write(const std::string& content);

    // Renames whatever is at the path (a link itself, never its target) to
    // "<path>.damaged", or to the first of ".damaged.1", ".damaged.2" ... that
    // is free, so that nothing earlier set aside is lost. False when nothing is
    // there or it cannot be renamed.
    bool SetAside();

    // Removes, beside the state file, every regular file named like one of its
    // temporary files ("<name>.tmp-<digits>-<digits>", the name cut short as
    // for a write), whatever process made it; links, directories and other
    // files are left alone. The caller must be the only writer of the state
    // file (it holds a lock that makes it so): any such file is then the
    // leftover of a write that was killed. Returns how many it removed.
    int RemoveTemporaries();

    // Creates the missing directories of the path, each new one with mode 0700
    // (less whatever the process's umask removes). Existing ones are left as
    // they are. True when the file's directory exists afterwards.
    bool MakeParentDirectories();

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    FileOps& m_ops;
    std::size_t m_limit;
    mode_t m_mode;
    unsigned m_tempCounter = 0;
};

// Where the run record of the program named `appName` lives:
// "$XDG_STATE_HOME/Orbinel/<appName>.runs" when XDG_STATE_HOME is an absolute
// path, else "$HOME/.local/state/Orbinel/<appName>.runs" with HOME taken from
// the environment when it is absolute and from the user database otherwise.
// Empty when no home directory can be known.
std::string RunRecordPath(const std::string& appName);

} // namespace platform
