#pragma once

#include <stdexcept>
#include <string>

namespace engine {

// Raised by the marker detection when a batch file cannot be opened, read or
// closed, or is not the file the scan listed (ESTALE). The submission catches
// it around that detection, and nowhere else.
class FileError : public std::runtime_error {
public:
    FileError(const std::string& path, int cause)
        : std::runtime_error("cannot read batch file " + path), m_cause(cause) {}
    // The errno value behind the failure.
    int Cause() const { return m_cause; }

private:
    int m_cause;
};

} // namespace engine
