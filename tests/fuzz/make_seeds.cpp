// Writes crafted seed archives for the zip fuzzer into the folder given.
#include <fstream>
#include <string>

#include "support/zip_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::string dir = argv[1];
    std::vector<BuiltEntry> entries = {
        {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nPremain-Class: a.B\r\n\r\n"},
        {"java/lang/Object.class", std::string(200, 'o'), true},
        {"tarsilbase-classes.txt", "a/A\n-\nb/B\n"},
    };
    std::ofstream(dir + "/plain.zip", std::ios::binary) << buildZip(entries);
    std::ofstream(dir + "/zip64.zip", std::ios::binary) << buildZip(entries, true);
    return 0;
}
