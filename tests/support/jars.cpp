#include "jars.h"

#include <vector>

#include "zip.h"

bool writeJar(const std::string& path, const JarEntries& entries) {
    std::vector<ZipMember> members;
    for (const auto& [name, content] : entries) members.push_back({name.c_str(), content.data(), content.size()});
    return zip_write_stored(path.c_str(), members.data(), members.size());
}

bool writeManifestJar(const std::string& path, const std::string& manifest) {
    return writeJar(path, {{"META-INF/", ""}, {"META-INF/MANIFEST.MF", manifest}});
}
