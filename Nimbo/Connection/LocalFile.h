#pragma once

#include <fstream>
#include <functional>
#include <ostream>
#include <string>

namespace Nimbo::Connection {

// Opens an existing local file for binary reading; EFileError naming the file when that fails.
std::ifstream OpenLocalFile(const std::string& AFileName);

// Who may read a file that ReplaceLocalFile writes.
enum class TFileAccess {
    Default,   // a new file gets what the process gives new files; a replaced one keeps its permissions
    OwnerOnly  // for secrets: a new file is 0600; a replaced one keeps its permissions less anything beyond 0600
};

// Writes a local file through AWrite without ever leaving a damaged file behind: the bytes go into a
// new temporary file in the target's folder, which replaces the target only once AWrite has returned
// and every byte reached the disk (the file is synced before the rename, the folder after it). When
// anything fails the temporary file is removed, an existing file of that name is untouched, and the
// error passes on (EFileError for failures of the file system).
void ReplaceLocalFile(const std::string& AFileName, const std::function<void(std::ostream&)>& AWrite,
                      TFileAccess AAccess = TFileAccess::Default);

// The same for content written at offsets of its own: AWrite gets the temporary file's descriptor,
// open for reading and writing, and writes it with pwrite (from any thread, all done before it
// returns); the file is synced and replaces the target as above.
void ReplaceLocalFileAtOffsets(const std::string& AFileName, const std::function<void(int AFd)>& AWrite,
                               TFileAccess AAccess = TFileAccess::Default);

}  // namespace Nimbo::Connection
