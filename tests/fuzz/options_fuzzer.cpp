// libFuzzer target for the option splitters: argument files, the variables'
// syntax and -XX:Flags= files, and the collection of every source around
// them, over whatever bytes the fuzzer makes up. The variables' syntax must
// read back what the library writes into the child's copies of them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bootcache_args.h"
#include "fileutils.h"
#include "agent_state.h"

// What the filter's once-per-JVM entry points would take from the running
// JVM, which the fuzzer never calls: only the pure splitters and filter run.
AgentState agent;
int getCommandLineArguments(int*, char***) {
    return 1;
}
void freeCommandLineArguments(int, char**) {}

namespace {

void require(bool promise) {
    if (!promise) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    splitArgumentFile(text);
    for (const std::string& flag : splitFlagsFile(text)) require(flag.size() <= 1023);
    std::vector<std::string> options = splitOptionsText(text);
    require(splitOptionsText(joinOptionsText(options)) == options);
    std::vector<std::string> openJ9;
    for (const std::string& option : splitOpenJ9OptionsText(text)) {
        if (!option.empty()) openJ9.push_back(option);
    }
    require(splitOpenJ9OptionsText(joinOpenJ9OptionsText(openJ9)) == openJ9);

    OptionInputs inputs;
    inputs.commandLine = {"java", "@file", "-XX:VMOptionsFile=file", "-XX:Flags=file"};
    inputs.commandLine.insert(inputs.commandLine.end(), options.begin(), options.end());
    inputs.variable = [&text](const char*) { return text.c_str(); };
    inputs.release = 8 + static_cast<int>(size % 21);
    inputs.java9 = inputs.release > 8;
    inputs.openJ9 = size % 3 == 0;
    inputs.readFile = [&text](const std::string& path, std::string* content) {
        if (path != "file") return FileRead::missing;
        *content = text;
        return FileRead::ok;
    };
    InheritedOptions inherited = inheritedOptions(collectOptionSources(inputs), size % 2 == 1, "/x/libtarsil64.so");
    for (const EnvironmentEdit& edit : inherited.environment()) {
        for (const InheritedVariable& variable : inherited.variables) {
            if (variable.name != edit.name || edit.remove) continue;
            bool j9 = variable.kind == SourceKind::openJ9Variable;
            require((j9 ? splitOpenJ9OptionsText(edit.value) : splitOptionsText(edit.value)) == variable.kept);
        }
    }
    return 0;
}
