#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "jarinfo.h"
#include "list.h"
#include "logging.h"
#include "support/child.h"
#include "support/jars.h"

namespace {

// Values are heap copies, except the shared empty string.
void release(const char* value) {
    if (value[0] != '\0') free(const_cast<char*>(value));
}

std::string entry(const char* text, const char* key) {
    const char* value = getManifestEntry(text, strlen(text), key);
    std::string copy = value;
    release(value);
    return copy;
}

// Jar records live for the whole process in the agent; tests release them.
struct JarInfoOwner {
    JarInfo* info;
    ~JarInfoOwner() {
        if (info == nullptr) return;
        free(info->path);
        release(info->premainClass);
        release(info->implementationVersion);
        free(info);
    }
    JarInfo* operator->() const { return info; }
};

}  // namespace

TEST(ManifestEntry, ValueRunsToTheLineEnd) {
    const char* manifest = "Manifest-Version: 1.0\r\nPremain-Class: com.acme.Agent\r\nImplementation-Version: 2.5\n";
    EXPECT_EQ(entry(manifest, "Premain-Class: "), "com.acme.Agent");
    EXPECT_EQ(entry(manifest, "Implementation-Version: "), "2.5");
    EXPECT_EQ(entry("Premain-Class: last line without end", "Premain-Class: "), "last line without end");
    EXPECT_EQ(entry("Premain-Class: \n", "Premain-Class: "), "");
}

TEST(ManifestEntry, KeyNeedsItsBlankAndMatchesAnywhere) {
    EXPECT_EQ(entry("Premain-Class:com.acme.Agent\n", "Premain-Class: "), "");
    EXPECT_EQ(entry("Launcher-Premain-Class: com.first.One\nPremain-Class: com.second.Two\n", "Premain-Class: "),
              "com.first.One");
    EXPECT_EQ(entry("premain-class: lower\n", "Premain-Class: "), "");
    // Continuation lines are not joined and nothing is trimmed.
    EXPECT_EQ(entry("Premain-Class: com.acme.Very \n LongName\n", "Premain-Class: "), "com.acme.Very ");
}

TEST(ManifestEntry, TextIsReadToItsLengthOnly) {
    const char text[] = "Premain-Class: com.acme.AgentXYZ";
    const char* value = getManifestEntry(text, strlen(text) - 3, "Premain-Class: ");
    EXPECT_STREQ(value, "com.acme.Agent");
    release(value);
}

TEST(JarInfoTest, ManifestValuesAreReadFromTheJar) {
    TempDir dir;
    std::string jar = dir.file("tarsil.jar");
    ASSERT_TRUE(writeManifestJar(jar, "Manifest-Version: 1.0\r\nPremain-Class: com.acme.Agent\r\n"
                                      "Implementation-Version: 9.9.9\r\n\r\n"));
    JarInfoOwner info{createJarInfo(jar.c_str())};
    EXPECT_EQ(std::string(info->path), jar);
    EXPECT_STREQ(info->premainClass, "com.acme.Agent");
    EXPECT_STREQ(info->implementationVersion, "9.9.9");
}

TEST(JarInfoTest, JarWithoutManifestGivesEmptyValues) {
    TempDir dir;
    std::string jar = dir.file("tarsil.jar");
    ASSERT_TRUE(writeJar(jar, {{"com/acme/A.class", "not really a class"}}));
    JarInfoOwner info{createJarInfo(jar.c_str())};
    EXPECT_STREQ(info->premainClass, "");
    EXPECT_STREQ(info->implementationVersion, "");
}

TEST(JarInfoTest, ManifestNameIsCaseSensitive) {
    TempDir dir;
    std::string jar = dir.file("tarsil.jar");
    ASSERT_TRUE(writeJar(jar, {{"meta-inf/manifest.mf", "Premain-Class: com.acme.Wrong\n"}}));
    JarInfoOwner info{createJarInfo(jar.c_str())};
    EXPECT_STREQ(info->premainClass, "");
}

TEST(JarInfoTest, NonZipJarEndsTheProcess) {
    TempDir dir;
    std::string jar = dir.file("tarsil.jar");
    std::ofstream(jar) << "this is not a zip archive";
    ChildResult child = runInChild([&jar]() -> std::string {
        createJarInfo(jar.c_str());
        return "survived";
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.err.rfind("Tarsil-JVMTI [FATAL] Error opening .jar file " + jar + "\n\nFor further", 0), 0u)
        << child.err;
}

TEST(LocateTarsilJar, ParentFolderFirstThenTheLibrarysOwn) {
    TempDir dir;
    std::string lib = dir.file("lib");
    ASSERT_EQ(mkdir(lib.c_str(), 0755), 0);
    std::string library = lib + "/libtarsil64.so";
    ASSERT_TRUE(writeManifestJar(lib + "/tarsil.jar", "Premain-Class: beside\n"));

    StderrCapture err;
    log_stderr(4);
    JarInfoOwner beside{locateTarsilJar(library.c_str())};
    ASSERT_NE(beside.info, nullptr);
    EXPECT_STREQ(beside->premainClass, "beside");
    EXPECT_NE(err.text().find("Searching for tarsil.jar in " + dir.file("tarsil.jar") + "\n"), std::string::npos);
    EXPECT_NE(err.text().find("Searching for tarsil.jar in " + lib + "/tarsil.jar\n"), std::string::npos);

    ASSERT_TRUE(writeManifestJar(dir.file("tarsil.jar"), "Premain-Class: parent\n"));
    JarInfoOwner parent{locateTarsilJar(library.c_str())};
    EXPECT_STREQ(parent->premainClass, "parent");
    log_stderr(1);
}

TEST(LocateTarsilJar, FolderNamedLikeTheJarIsSkipped) {
    TempDir dir;
    std::string lib = dir.file("lib");
    ASSERT_EQ(mkdir(lib.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("tarsil.jar").c_str(), 0755), 0);
    std::string library = lib + "/libtarsil64.so";
    EXPECT_EQ(locateTarsilJar(library.c_str()), nullptr);
    ASSERT_TRUE(writeManifestJar(lib + "/tarsil.jar", "Premain-Class: beside\n"));
    JarInfoOwner found{locateTarsilJar(library.c_str())};
    ASSERT_NE(found.info, nullptr);
}
