// The Java launcher's grammar, release by release, as the launcher's own
// ParseArguments (java.c) and the argument file scan (args.c) read a command
// line: one table of spellings, each with the releases it applies to, asked
// by every reader of a command line in the library.
#include "bootcache_grammar.h"

#include <algorithm>

namespace {

struct LauncherRule {
    std::string_view spelling;
    bool prefix;         // "--module=": the spelling starts the argument
    int from;            // the first release whose launcher has the rule
    ArgumentRole role;
    // An ending rule: what it names. Any other: what the argument that ends
    // the options names once this option was seen ("-jar": a jar).
    EntryKind entry;
};

// Release 8: the launcher knows only -cp/-classpath as taking a value, and
// takes it whatever it looks like. Release 9 (modules, argument files)
// brought the module options, --module/-m, --class-path and the "--" forms,
// and takes a value only when it does not start with '-'. Release 11 added
// --source and the source file mode; 17 added --enable-native-access to the
// options taking a value. The informational options that stop the launcher
// end the options; -showversion, --show-version, --list-modules, --dry-run
// and --validate-modules do not: the launcher reads on to the main class.
constexpr LauncherRule kRules[] = {
    {"-cp", false, 8, ArgumentRole::takesValue, EntryKind::mainClass},
    {"-classpath", false, 8, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--class-path", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--class-path=", true, 9, ArgumentRole::plain, EntryKind::mainClass},
    {"-p", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--module-path", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--upgrade-module-path", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--add-modules", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--limit-modules", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--add-reads", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--add-exports", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--add-opens", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--patch-module", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--enable-native-access", false, 17, ArgumentRole::takesValue, EntryKind::mainClass},
    {"-d", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--describe-module", false, 9, ArgumentRole::takesValue, EntryKind::mainClass},
    {"--source", false, 11, ArgumentRole::takesValue, EntryKind::sourceFile},
    {"--source=", true, 11, ArgumentRole::plain, EntryKind::sourceFile},
    {"-jar", false, 8, ArgumentRole::plain, EntryKind::jar},
    {"-m", false, 9, ArgumentRole::endsOptions, EntryKind::module},
    {"--module", false, 9, ArgumentRole::endsOptions, EntryKind::module},
    {"--module=", true, 9, ArgumentRole::endsOptions, EntryKind::module},
    {"-version", false, 8, ArgumentRole::endsOptions, EntryKind::informational},
    {"-fullversion", false, 8, ArgumentRole::endsOptions, EntryKind::informational},
    {"-help", false, 8, ArgumentRole::endsOptions, EntryKind::informational},
    {"-h", false, 8, ArgumentRole::endsOptions, EntryKind::informational},
    {"-?", false, 8, ArgumentRole::endsOptions, EntryKind::informational},
    {"-X", false, 8, ArgumentRole::endsOptions, EntryKind::informational},
    {"--version", false, 9, ArgumentRole::endsOptions, EntryKind::informational},
    {"--full-version", false, 9, ArgumentRole::endsOptions, EntryKind::informational},
    {"--help", false, 9, ArgumentRole::endsOptions, EntryKind::informational},
    {"--help-extra", false, 9, ArgumentRole::endsOptions, EntryKind::informational},
    // Plain, listed for the releases they apply to: the launcher consumes
    // them itself (-splash:, --disable-@files) or reads on after them. -J is
    // a tool launcher's way to pass an option to its JVM; the java launcher
    // hands it to the JVM as it is.
    {"-showversion", false, 8, ArgumentRole::plain, EntryKind::mainClass},
    {"--show-version", false, 9, ArgumentRole::plain, EntryKind::mainClass},
    {"--list-modules", false, 9, ArgumentRole::plain, EntryKind::mainClass},
    {"--dry-run", false, 9, ArgumentRole::plain, EntryKind::mainClass},
    {"--validate-modules", false, 9, ArgumentRole::plain, EntryKind::mainClass},
    {"--disable-@files", false, 9, ArgumentRole::plain, EntryKind::mainClass},
    {"-splash:", true, 8, ArgumentRole::plain, EntryKind::mainClass},
    {"-J", true, 8, ArgumentRole::plain, EntryKind::mainClass},
};

const LauncherRule* ruleFor(std::string_view arg, int release) {
    auto applies = [arg, release](const LauncherRule& rule) {
        return rule.from <= release && (rule.prefix ? arg.starts_with(rule.spelling) : arg == rule.spelling);
    };
    const LauncherRule* rule = std::find_if(std::begin(kRules), std::end(kRules), applies);
    return rule == std::end(kRules) ? nullptr : rule;
}

}  // namespace

int featureRelease(int jvmtiMajorVersion) {
    return jvmtiMajorVersion <= kOldestRelease ? kOldestRelease : jvmtiMajorVersion;
}

ArgumentRole argumentRole(std::string_view arg, int release) {
    if (!arg.starts_with("-")) return ArgumentRole::endsOptions;
    const LauncherRule* rule = ruleFor(arg, release);
    return rule == nullptr ? ArgumentRole::plain : rule->role;
}

bool hasSeparateArgument(std::string_view arg, int release) {
    return arg.starts_with("-") && argumentRole(arg, release) == ArgumentRole::takesValue;
}

bool takesNextAsValue(std::string_view option, std::string_view next, int release) {
    return hasSeparateArgument(option, release) && (release <= kOldestRelease || !next.starts_with("-"));
}

bool endsJvmOptions(std::string_view arg, int release) {
    return argumentRole(arg, release) == ArgumentRole::endsOptions;
}

void OptionScan::see(std::string_view arg) {
    if (over_) return;
    if (valueNext_) {
        valueNext_ = false;
        if (release_ <= kOldestRelease || !arg.starts_with("-")) return;
    }
    if (!arg.starts_with("-")) {
        over_ = true;
        // The launcher runs a file ending in ".java" in the source file mode
        // (when it exists, which it did when the JVM started).
        bool source = release_ >= 11 && pending_ == EntryKind::mainClass && arg.ends_with(".java");
        entry_ = source ? EntryKind::sourceFile : pending_;
        return;
    }
    const LauncherRule* rule = ruleFor(arg, release_);
    if (rule == nullptr) return;
    if (rule->role == ArgumentRole::endsOptions) {
        over_ = true;
        entry_ = rule->entry;
        return;
    }
    valueNext_ = rule->role == ArgumentRole::takesValue;
    if (rule->entry != EntryKind::mainClass) pending_ = rule->entry;
}

int findArgumentLimit(int argc, char** argv, int release) {
    OptionScan scan(release);
    for (int i = 1; i < argc; i++) {
        scan.see(argv[i]);
        if (scan.over()) return i;
    }
    return argc;
}

int findArgumentLimit(const std::vector<std::string>& commandLine, int release) {
    OptionScan scan(release);
    for (size_t i = 1; i < commandLine.size(); i++) {
        scan.see(commandLine[i]);
        if (scan.over()) return static_cast<int>(i);
    }
    return static_cast<int>(commandLine.size());
}
