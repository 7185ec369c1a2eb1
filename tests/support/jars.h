// Small jars written by the tests themselves.
#pragma once

#include <string>
#include <utility>
#include <vector>

using JarEntries = std::vector<std::pair<std::string, std::string>>;

// Writes a jar of stored entries; false when the file cannot be written.
bool writeJar(const std::string& path, const JarEntries& entries);
// A jar whose only entry is a manifest with these lines.
bool writeManifestJar(const std::string& path, const std::string& manifest);
