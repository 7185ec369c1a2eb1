// The cache key. Each hash runs in a child: the inherited options are read
// once per process.
#include <gtest/gtest.h>

#include <regex>

#include "bootcache_args.h"
#include "bootcache_hash.h"
#include "jarinfo.h"
#include "md5.h"
#include "support/child.h"
#include "support/fake_jvmti.h"
#include "version.h"

namespace {

using Properties = std::vector<std::pair<std::string, std::string>>;

// The fake host lists properties in name order.
std::string hashOf(const Properties& properties, const char* version = "1.1.13") {
    ChildResult child = runInChild([&] {
        FakeJvmtiScript script;
        for (const auto& [name, value] : properties) script.properties[name] = value;
        FakeJvm jvm(script);
        JarInfo jar{const_cast<char*>("/x/tarsil.jar"), "", version};
        char hash[33];
        getRuntimeHash(jvm.newEnv(), &jar, hash);
        return std::string(hash) + (jvm.outstandingAllocations() == 0 ? "" : " leaked");
    });
    return child.report;
}

const Properties kBase = {{"java.home", "/usr/lib/jvm/x"}, {"java.version", "17"}, {"user.dir", "/work"}};

Properties with(Properties p, const std::string& name, const std::string& value) {
    p.emplace_back(name, value);
    return p;
}

}  // namespace

TEST(RuntimeHash, IsStableHexAndCoversVersionsAndProperties) {
    std::string hash = hashOf(kBase);
    EXPECT_TRUE(std::regex_match(hash, std::regex("[0-9a-f]{32}"))) << hash;
    EXPECT_EQ(hashOf(kBase), hash);
    EXPECT_NE(hashOf(kBase, "1.1.14"), hash);
    EXPECT_NE(hashOf(with(kBase, "user.name", "someone")), hash);
    EXPECT_NE(hashOf({{"java.home", "/usr/lib/jvm/y"}, {"java.version", "17"}, {"user.dir", "/work"}}), hash);
}

TEST(RuntimeHash, IgnoredPropertiesCountNeitherNameNorValue) {
    std::string hash = hashOf(kBase);
    for (const char* name : {"java.class.path", "sun.java.command", "jdk.module.path", "vesta.bootcache.dir",
                             "vesta.bootstrap.timeout",
                             "vesta.log.file.x", "test.anything", "sun.boot.library.path", "idea.launcher.port",
                             "was.status.socket", "com.ibm.oti.vm.x", "vesta.notification.y"}) {
        EXPECT_EQ(hashOf(with(kBase, name, "whatever")), hash) << name;
    }
}

TEST(RuntimeHash, ValueIgnoredPropertiesCountByNameOnly) {
    std::string one = hashOf(with(kBase, "com.sun.management.jmxremote.port", "9010"));
    EXPECT_EQ(hashOf(with(kBase, "com.sun.management.jmxremote.port", "9999")), one);
    EXPECT_NE(one, hashOf(kBase));
    EXPECT_EQ(hashOf(with(kBase, "wrapper.pid", "1")), hashOf(with(kBase, "wrapper.pid", "2")));
}

TEST(RuntimeHash, PiecesAreJoinedWithoutSeparators) {
    EXPECT_EQ(hashOf({{"ab", "c"}}), hashOf({{"a", "bc"}}));
}

TEST(RuntimeHash, FeedsExactlyTheDocumentedBytes) {
    // Version, library version, then name and value of each counted property;
    // this test program's inherited options are its --gtest options, which
    // gtest_discover_tests passes as double-dash arguments.
    ChildResult child = runInChild([] {
        int count = 0;
        FakeJvm jvm;
        char** args = getAdditionalArgs(jvm.newEnv(), &count);
        MD5_CTX ctx;
        MD5_Init(&ctx);
        std::string bytes = std::string("2.0") + tarsil_version + "java.home/j" + "wrapper.key";
        for (int i = 0; i < count; i++) bytes += additionalArgValueForHashing(args[i]);
        MD5_Update(&ctx, bytes.data(), bytes.size());
        char expected[33];
        MD5_FinalStr(&ctx, expected);

        FakeJvmtiScript script;
        script.properties = {{"java.home", "/j"}, {"wrapper.key", "secret"}, {"sun.java.command", "Main"}};
        FakeJvm host(script);
        JarInfo jar{const_cast<char*>("/x/tarsil.jar"), "", "2.0"};
        char hash[33];
        getRuntimeHash(host.newEnv(), &jar, hash);
        return std::string(hash) + " " + expected;
    });
    ASSERT_EQ(child.report.size(), 65u) << child.report << child.err;
    EXPECT_EQ(child.report.substr(0, 32), child.report.substr(33));
}

TEST(RuntimeHash, AsyncProfilerAgentHashesAsAPlaceholder) {
    EXPECT_STREQ(additionalArgValueForHashing("-agentpath:/opt/ap/libasyncProfiler.so=start,event=cpu"),
                 "libasyncProfiler");
    EXPECT_STREQ(additionalArgValueForHashing("-agentpath:/opt/other/libagent.so"), "-agentpath:/opt/other/libagent.so");
    EXPECT_STREQ(additionalArgValueForHashing("-XX:+libasyncProfiler"), "-XX:+libasyncProfiler");
}

TEST(RuntimeHash, UnlistablePropertiesStillGiveAHash) {
    ChildResult child = runInChild([] {
        FakeJvmtiScript script;
        script.failures["GetSystemProperties"] = JVMTI_ERROR_WRONG_PHASE;
        FakeJvm jvm(script);
        JarInfo jar{const_cast<char*>("/x/tarsil.jar"), "", ""};
        char hash[33];
        getRuntimeHash(jvm.newEnv(), &jar, hash);
        return std::string(hash);
    });
    EXPECT_EQ(child.report.size(), 32u);
}
