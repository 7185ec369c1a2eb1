#include "jars.h"

#include <fstream>
#include <vector>

#include "zip.h"

bool writeJar(const std::string& path, const JarEntries& entries) {
    std::vector<ZipMember> members;
    for (const auto& [name, content] : entries) members.push_back({name.c_str(), content.data(), content.size()});
    std::string archive;
    if (!zip_write_stored(&archive, members.data(), members.size())) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << archive;
    return static_cast<bool>(out.flush());
}

bool writeManifestJar(const std::string& path, const std::string& manifest) {
    return writeJar(path, {{"META-INF/", ""}, {"META-INF/MANIFEST.MF", manifest}});
}
