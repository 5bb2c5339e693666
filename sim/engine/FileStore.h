#pragma once
// The token's own flash: small files in its state directory, replaced whole so
// that a crash leaves either the old or the new content, never a mix.
#include <optional>
#include <string>

#include "Wire.h"

namespace vexa::sim::engine {

// Creates the directory (and its parents) readable by the owner only.
// Throws std::runtime_error when it cannot.
void ensureDirectory(const std::string& path);
std::optional<Bytes> readFile(const std::string& path);
// Writes a sibling temporary file, flushes it and renames it over `path`.
bool writeFileAtomic(const std::string& path, const Bytes& content);
bool removeFile(const std::string& path);

}  // namespace vexa::sim::engine
