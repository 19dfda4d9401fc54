#pragma once
// Files of the data folder: private to the owner, replaced atomically.

#include <filesystem>
#include <string_view>

namespace Nimbo::Emulator {

// Makes the folder (and its parents) and leaves it readable by the owner only (0700).
void MakePrivateFolder(const std::filesystem::path& dir);

// Writes a temporary file beside `path` (0600), flushes it to disk and renames it over `path`:
// readers see the old text or the new, never a part. Throws std::runtime_error and removes the
// temporary file when it cannot.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view text);

}  // namespace Nimbo::Emulator
