#pragma once

#include <fstream>
#include <functional>
#include <ostream>
#include <string>

namespace Nimbo::Connection {

// Opens an existing local file for binary reading; EFileError naming the file when that fails.
std::ifstream OpenLocalFile(const std::string& AFileName);

// Writes a local file through AWrite without ever leaving a damaged file behind: the bytes go into a
// new temporary file in the target's folder, which replaces the target (keeping an existing file's
// permissions) only once AWrite has returned and every byte reached the disk. When anything fails
// the temporary file is removed, an existing file of that name is untouched, and the error passes
// on (EFileError for failures of the file system).
void ReplaceLocalFile(const std::string& AFileName, const std::function<void(std::ostream&)>& AWrite);

}  // namespace Nimbo::Connection
