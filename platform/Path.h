#pragma once

#include <string>
#include <string_view>

namespace platform {

// Joins a directory and a file name the way the program has always built its
// paths: the directory, then "/" unless the directory is empty or already ends
// in "/", then the name, then "." and the extension when one is given (no second
// "." when the extension already starts with one).
std::string MakePath(std::string_view dir, std::string_view name, std::string_view ext = {});

// Splits a path into its directory part (up to and including the last "/", empty
// when there is none) and the rest.
struct SplitParts {
    std::string dir;
    std::string name;
};
SplitParts SplitPath(std::string_view path);

// Makes a path absolute against the current directory and removes "." and ".."
// components lexically, without resolving symbolic links. A trailing "/" is kept
// off except for the root itself.
std::string AbsolutePath(std::string_view path);

} // namespace platform
