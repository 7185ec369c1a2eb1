// The launcher's grammar, one row per spelling and release: what the
// launcher of that release makes of the argument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootcache_grammar.h"

namespace {

constexpr ArgumentRole P = ArgumentRole::plain;
constexpr ArgumentRole V = ArgumentRole::takesValue;
constexpr ArgumentRole E = ArgumentRole::endsOptions;

struct Row {
    const char* arg;
    ArgumentRole at8, at11, at17, at21, at25, at28;
};

}  // namespace

TEST(LauncherGrammar, EachSpellingAsTheLauncherOfEachReleaseReadsIt) {
    const Row rows[] = {
        {"-cp", V, V, V, V, V, V},
        {"-classpath", V, V, V, V, V, V},
        {"--class-path", P, V, V, V, V, V},
        {"--class-path=lib", P, P, P, P, P, P},
        {"-p", P, V, V, V, V, V},
        {"--module-path", P, V, V, V, V, V},
        {"--module-path=mods", P, P, P, P, P, P},
        {"--upgrade-module-path", P, V, V, V, V, V},
        {"--add-modules", P, V, V, V, V, V},
        {"--add-reads", P, V, V, V, V, V},
        {"--add-exports", P, V, V, V, V, V},
        {"--add-opens", P, V, V, V, V, V},
        {"--add-opens=java.base/java.lang=ALL-UNNAMED", P, P, P, P, P, P},
        {"--limit-modules", P, V, V, V, V, V},
        {"--patch-module", P, V, V, V, V, V},
        {"--enable-native-access", P, P, V, V, V, V},
        {"--enable-native-access=ALL-UNNAMED", P, P, P, P, P, P},
        {"--describe-module", P, V, V, V, V, V},
        {"-d", P, V, V, V, V, V},
        {"--source", P, V, V, V, V, V},
        {"--source=21", P, P, P, P, P, P},
        {"-m", P, E, E, E, E, E},
        {"--module", P, E, E, E, E, E},
        {"--module=app/app.Main", P, E, E, E, E, E},
        {"-jar", P, P, P, P, P, P},
        {"app.jar", E, E, E, E, E, E},
        {"Hello.java", E, E, E, E, E, E},
        {"-version", E, E, E, E, E, E},
        {"--version", P, E, E, E, E, E},
        {"-fullversion", E, E, E, E, E, E},
        {"--full-version", P, E, E, E, E, E},
        {"-help", E, E, E, E, E, E},
        {"-h", E, E, E, E, E, E},
        {"-?", E, E, E, E, E, E},
        {"--help", P, E, E, E, E, E},
        {"-X", E, E, E, E, E, E},
        {"--help-extra", P, E, E, E, E, E},
        {"-showversion", P, P, P, P, P, P},
        {"--show-version", P, P, P, P, P, P},
        {"--list-modules", P, P, P, P, P, P},
        {"--dry-run", P, P, P, P, P, P},
        {"--validate-modules", P, P, P, P, P, P},
        {"--disable-@files", P, P, P, P, P, P},
        {"-splash:logo.png", P, P, P, P, P, P},
        {"-J-Xmx1g", P, P, P, P, P, P},
        {"-Xmx1g", P, P, P, P, P, P},
    };
    for (const Row& row : rows) {
        const int releases[] = {8, 11, 17, 21, 25, 28};
        const ArgumentRole roles[] = {row.at8, row.at11, row.at17, row.at21, row.at25, row.at28};
        for (size_t i = 0; i < std::size(releases); i++) {
            EXPECT_EQ(argumentRole(row.arg, releases[i]), roles[i]) << row.arg << " on " << releases[i];
        }
    }
}

TEST(LauncherGrammar, TheScanFindsWhereTheOptionsEndAndWhatTheyName) {
    struct Case {
        std::vector<std::string> line;
        int release;
        int limit;
        EntryKind entry;
    } cases[] = {
        {{"java", "-cp", "lib", "-p", "mods", "-Xint", "Main", "x"}, 17, 6, EntryKind::mainClass},
        {{"java", "--module=app/app.Main", "-cp", "x"}, 17, 1, EntryKind::module},
        {{"java", "-Xint", "--module", "app/app.Main", "-Xss1m"}, 11, 2, EntryKind::module},
        {{"java", "-jar", "-Xint", "app.jar", "--add-opens", "x"}, 21, 3, EntryKind::jar},
        {{"java", "--source", "21", "Prog", "a"}, 21, 3, EntryKind::sourceFile},
        {{"java", "-Xint", "Hello.java", "arg"}, 11, 2, EntryKind::sourceFile},
        {{"java", "--enable-native-access", "ALL-UNNAMED", "Main"}, 25, 3, EntryKind::mainClass},
        // From 9 on a value starting with '-' is no value (the launcher
        // stops with an error); Java 8 takes whatever follows -cp.
        {{"java", "-cp", "-Xint", "Main"}, 8, 3, EntryKind::mainClass},
        {{"java", "--add-opens", "-Xint", "Main"}, 17, 3, EntryKind::mainClass},
        {{"java", "--list-modules", "-showversion", "Main"}, 17, 3, EntryKind::mainClass},
        {{"java", "-Xint", "--version", "-Xss1m"}, 17, 2, EntryKind::informational},
        {{"java", "-Xint"}, 17, 2, EntryKind::none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(findArgumentLimit(c.line, c.release), c.limit) << c.line[1] << " on " << c.release;
        OptionScan scan(c.release);
        for (size_t i = 1; i < c.line.size(); i++) scan.see(c.line[i]);
        EXPECT_EQ(scan.entry(), c.entry) << c.line[1] << " on " << c.release;
    }
}

TEST(LauncherGrammar, FeatureReleaseFromTheJvmtiVersion) {
    EXPECT_EQ(featureRelease(1), 8);
    EXPECT_EQ(featureRelease(9), 9);
    EXPECT_EQ(featureRelease(25), 25);
}
