// File names as 3do handles them: joined, split and normalised as
// std::filesystem would, with plain strings for the plain POSIX names a walk
// of folders makes (std::filesystem costs most of planning a large tree).
#ifndef CONVERT3DO_CLI_3DO_NAMES_H
#define CONVERT3DO_CLI_3DO_NAMES_H

#include <filesystem>
#include <string>

namespace convert3do {

// A name as UTF-8 text, and back.
std::string fromPath(const std::filesystem::path& path);
std::filesystem::path toPath(const std::string& name);

// Whether std::filesystem would leave a POSIX name as it is: not empty, no
// "." or ".." component, no doubled or trailing separator. Never on Windows.
bool plainName(const std::string& name);

// folder / name; just name when folder is empty.
std::string joinName(const std::string& folder, const std::string& name);

// The name lexically normalised.
std::string normalName(const std::string& name);

// The name's folder (parent path) and its last component (file name).
void splitName(const std::string& name, std::string* folder, std::string* base);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_NAMES_H
