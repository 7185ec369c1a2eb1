// The Java launcher's grammar, as the launcher of each release (8 to 28)
// reads its command line: which options take their value as the next
// argument, and which arguments end the JVM's options and what they name.
// One table below every reader of a command line: the option sources, the
// argument file expansion, the filter of inherited options and the hash.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr int kOldestRelease = 8;
inline constexpr int kNewestRelease = 28;

// The JVM's feature release from its JVM TI major version (1 on Java 8,
// the feature release from 9 on).
int featureRelease(int jvmtiMajorVersion);

// What one argument is to the launcher of a release.
enum class ArgumentRole {
    plain,        // an option on its own (or with its value after '=')
    takesValue,   // an option whose value is the next argument ("-cp lib")
    endsOptions,  // the JVM's options end here ("-m app/Main", "--version")
};
// What the argument that ends the options names.
enum class EntryKind { none, mainClass, module, jar, sourceFile, informational };

ArgumentRole argumentRole(std::string_view arg, int release);
// Whether the option takes its value as the next argument in that release.
bool hasSeparateArgument(std::string_view arg, int release = kNewestRelease);
// Whether the launcher takes `next` as the option's value: from Java 9 on
// only when it does not start with '-' (the launcher then reports the
// missing value), on Java 8 always.
bool takesNextAsValue(std::string_view option, std::string_view next, int release);
// Whether an argument ends the JVM's options: anything not an option (the
// main class, the jar, the source file), or an ending option.
bool endsJvmOptions(std::string_view arg, int release = kNewestRelease);

// The launcher's scan over a command line, one argument at a time: where
// the JVM's options end and what the argument that ends them names.
class OptionScan {
public:
    explicit OptionScan(int release) : release_(release) {}
    void see(std::string_view arg);
    bool over() const { return over_; }
    EntryKind entry() const { return entry_; }

private:
    int release_;
    bool over_ = false;
    bool valueNext_ = false;
    EntryKind pending_ = EntryKind::mainClass;  // what a plain argument would name
    EntryKind entry_ = EntryKind::none;
};

// The index of the first argument that is not a JVM option (entry 0 is the
// launcher), or argc.
int findArgumentLimit(int argc, char** argv, int release = kNewestRelease);
int findArgumentLimit(const std::vector<std::string>& commandLine, int release = kNewestRelease);
