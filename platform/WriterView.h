#pragma once

#include <string>

namespace platform {

// What is known about processes on this machine that are writing the files
// of one directory. A read lease tells only the file's owner; this tells for
// every writer, whoever it is, from what the directory's change notification
// saw: a file that has been written and whose writer has not closed it yet.
class WriterView {
public:
    enum class Writing {
        No,      // watched, and nobody has it open for writing since it was last closed
        Yes,     // written, and not yet closed again
        Unknown, // the directory is not watched: nothing can be told
    };

    virtual ~WriterView() = default;
    // About the file `name` in `directory`, spelt as the watch was aimed.
    virtual Writing BeingWritten(const std::string& directory, const std::string& name) const = 0;
    // True while `directory` is watched, so that BeingWritten can tell.
    virtual bool Watching(const std::string& directory) const = 0;
};

} // namespace platform
