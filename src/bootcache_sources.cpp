// Where the JVM's options come from. A JVM is configured in several places
// at once: its command line with the argument files it names, the variables
// its launcher and the JVM itself read, and options files. Each is split
// here as the launcher or the JVM splits it, so that the child JVM and the
// runtime hash see what the JVM saw.
#include "bootcache_sources.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bootcache_grammar.h"
#include "fileutils.h"
#include "list.h"
#include "agent_state.h"
#include "logging.h"
#include "readfile.h"

namespace {

struct OptionVariable {
    const char* name;
    SourceKind kind;
};
// In the order the runtime hash takes them.
constexpr OptionVariable kOptionVariables[] = {{"JDK_JAVA_OPTIONS", SourceKind::launcherVariable},
                                               {"JAVA_TOOL_OPTIONS", SourceKind::jvmVariable},
                                               {"_JAVA_OPTIONS", SourceKind::jvmVariable},
                                               {"JDK_AOT_VM_OPTIONS", SourceKind::jvmVariable}};
constexpr std::string_view kVmOptionsFile = "-XX:VMOptionsFile=";
constexpr std::string_view kFlagsFile = "-XX:Flags=";
constexpr std::string_view kDisableArgumentFiles = "--disable-@files";

// The blanks of C's isspace in the "C" locale, which the JVM's parsers use.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char unescaped(char c) {
    switch (c) {
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'f': return '\f';
        default: return c;
    }
}

// The argument file tokenizer of the launcher, state for state: a token
// ends at a blank outside quotes or at any line end; text before a '#' that
// starts a comment inside a token is lost, and quoted parts before it join
// the next token, as in the launcher.
class ArgumentFileSplitter {
public:
    explicit ArgumentFileSplitter(std::string_view text) : text_(text) {}

    std::vector<std::string> split() {
        for (size_t i = 0; i < text_.size(); i++) {
            if (state_ == State::findNext || state_ == State::skipLeadingBlanks) {
                while (isLineBlank(text_[i]) || text_[i] == '\n' || text_[i] == '\r') {
                    if (++i >= text_.size()) return std::move(tokens_);
                }
                state_ = state_ == State::findNext ? State::inToken : State::inQuote;
                anchor_ = i;
            } else if (state_ == State::inEscape) {
                // A backslash at a line end continues the quoted text on the
                // next line, after its leading blanks.
                if (text_[i] == '\n' || text_[i] == '\r') {
                    state_ = State::skipLeadingBlanks;
                } else {
                    addPart(std::string(1, unescaped(text_[i])));
                    state_ = State::inQuote;
                }
                anchor_ = i + 1;
                continue;
            } else if (state_ == State::inComment) {
                while (text_[i] != '\n' && text_[i] != '\r') {
                    if (++i >= text_.size()) return std::move(tokens_);
                }
                anchor_ = i + 1;
                state_ = State::findNext;
                continue;
            }
            step(i);
        }
        if (state_ == State::inToken || state_ == State::inQuote) {
            if (anchor_ < text_.size()) addPart(text_.substr(anchor_));
            if (partCount_ != 0) tokens_.push_back(std::move(parts_));
        }
        return std::move(tokens_);
    }

private:
    enum class State { findNext, inComment, inQuote, inEscape, skipLeadingBlanks, inToken };

    static bool isLineBlank(char c) { return c == ' ' || c == '\t' || c == '\f'; }

    void addPart(std::string_view part) {
        parts_ += part;
        partCount_++;
    }

    // One character inside a token or a quote.
    void step(size_t i) {
        char c = text_[i];
        if (isLineBlank(c) && state_ == State::inQuote) return;
        if (isLineBlank(c) || c == '\n' || c == '\r') {
            tokens_.push_back(parts_ + std::string(text_.substr(anchor_, i - anchor_)));
            parts_.clear();
            partCount_ = 0;
            state_ = State::findNext;
        } else if (c == '#') {
            if (state_ == State::inQuote) return;
            state_ = State::inComment;
            anchor_ = i + 1;
        } else if (c == '\\') {
            if (state_ != State::inQuote) return;
            addPart(text_.substr(anchor_, i - anchor_));
            state_ = State::inEscape;
            anchor_ = i + 1;
        } else if (c == '"' || c == '\'') {
            if (state_ == State::inQuote && quote_ != c) return;
            if (anchor_ != i) addPart(text_.substr(anchor_, i - anchor_));
            anchor_ = i + 1;
            if (state_ == State::inToken) {
                quote_ = c;
                state_ = State::inQuote;
            } else {
                state_ = State::inToken;
            }
        }
    }

    std::string_view text_;
    State state_ = State::findNext;
    char quote_ = '"';
    size_t anchor_ = 0;
    std::string parts_;
    size_t partCount_ = 0;
    std::vector<std::string> tokens_;
};

// Whether an argument still belongs to the JVM's options: the scan of
// findArgumentLimit, one argument at a time.
class OptionPart {
public:
    bool over() const { return over_; }
    void see(std::string_view arg) {
        if (over_) return;
        if (valueNext_) {
            valueNext_ = false;
            return;
        }
        over_ = endsJvmOptions(arg);
        valueNext_ = !over_ && hasSeparateArgument(std::string(arg).c_str());
    }

private:
    bool over_ = false;
    bool valueNext_ = false;
};

class SourceCollector {
public:
    explicit SourceCollector(const OptionInputs& inputs) : in_(inputs), expandFiles_(inputs.java9) {}

    std::vector<OptionSource> collect() {
        std::vector<OptionSource> sources(1);
        sources[0].kind = SourceKind::commandLine;
        sources[0].name = "command line";
        sources[0].present = true;
        for (const OptionVariable& variable : kOptionVariables) {
            OptionSource source;
            source.kind = variable.kind;
            source.name = variable.name;
            // Only the launcher of Java 9 and later reads its variable.
            bool read = variable.kind != SourceKind::launcherVariable || in_.java9;
            const char* value = in_.variable ? in_.variable(variable.name) : nullptr;
            source.present = value != nullptr && read;
            if (source.present) source.options = splitOptionsText(value);
            sources.push_back(std::move(source));
        }
        // The launcher reads its variable before the command line: an
        // argument file there, or --disable-@files, counts for both.
        for (OptionSource& source : sources) {
            if (source.kind == SourceKind::launcherVariable) {
                source.options = expandArgumentFiles(source.options, nullptr);
            }
        }
        for (OptionSource& source : sources) {
            if (source.isCommandLine()) source.options = commandLine();
        }
        for (OptionSource& source : sources) expandOptionsFiles(&source);
        return sources;
    }

private:
    std::vector<std::string> commandLine() {
        const std::vector<std::string>& argv = in_.commandLine;
        if (argv.empty()) return {};
        OptionPart part;
        std::vector<std::string> rest(argv.begin() + 1, argv.end());
        std::vector<std::string> expanded = expandArgumentFiles(rest, &part);
        expanded.insert(expanded.begin(), argv[0]);
        return expanded;
    }

    // Argument files expanded in place up to the main class, as the launcher
    // does; "@@x" stands for "@x". `part` (null for a variable, which holds
    // no main class) tells where the options end.
    std::vector<std::string> expandArgumentFiles(const std::vector<std::string>& args, OptionPart* part) {
        std::vector<std::string> out;
        for (const std::string& arg : args) {
            bool options = part == nullptr || !part->over();
            if (!options || !expandFiles_ || arg.size() < 2 || arg[0] != '@') {
                push(&out, arg, part);
            } else if (arg[1] == '@') {
                push(&out, arg.substr(1), part);
            } else {
                std::string text;
                if (!readFile(arg.substr(1), "argument file", &text)) continue;
                for (const std::string& token : splitArgumentFile(text)) push(&out, token, part);
            }
        }
        return out;
    }

    void push(std::vector<std::string>* out, const std::string& arg, OptionPart* part) {
        if (part == nullptr || !part->over()) {
            if (arg == kDisableArgumentFiles) expandFiles_ = false;
            if (part != nullptr) part->see(arg);
        }
        out->push_back(arg);
    }

    // The options of -XX:VMOptionsFile= and then -XX:Flags= files in place
    // of the option that names them (on the command line only among the
    // options before the main class). The option itself stays, for the
    // filter to drop.
    void expandOptionsFiles(OptionSource* source) {
        bool commandLine = source->isCommandLine();
        std::vector<std::string> out;
        int limit = commandLine ? findArgumentLimit(source->options) : static_cast<int>(source->options.size());
        for (int i = 0; i < static_cast<int>(source->options.size()); i++) {
            const std::string& option = source->options[i];
            out.push_back(option);
            if (i >= limit || (commandLine && i == 0)) continue;
            std::string text;
            if (std::string_view(option).starts_with(kVmOptionsFile)) {
                if (!readFile(option.substr(kVmOptionsFile.size()), "options file", &text)) continue;
                for (const std::string& inner : splitOptionsText(text)) {
                    out.push_back(inner);
                    if (std::string_view(inner).starts_with(kFlagsFile)) appendFlagsFile(inner, &out);
                }
            } else if (std::string_view(option).starts_with(kFlagsFile)) {
                appendFlagsFile(option, &out);
            }
        }
        source->options = std::move(out);
    }

    void appendFlagsFile(const std::string& option, std::vector<std::string>* out) {
        std::string text;
        if (!readFile(option.substr(kFlagsFile.size()), "flags file", &text)) return;
        for (const std::string& flag : splitFlagsFile(text)) out->push_back("-XX:" + flag);
    }

    bool readFile(const std::string& path, const char* what, std::string* text) {
        if (in_.readFile && in_.readFile(path, text)) return true;
        // The JVM read it at its start; it has gone since (a launcher's
        // temporary file, removed once the JVM ran).
        log_write(TS_WARN, "Could not read the %s %s: the child JVM does not get its options", what, path.c_str());
        return false;
    }

    const OptionInputs& in_;
    bool expandFiles_;
};

bool readTextFile(const std::string& path, std::string* text) {
    size_t size = 0;
    HeapString bytes(reinterpret_cast<char*>(readWholeFile(path.c_str(), &size)));
    if (bytes) {
        text->assign(bytes.get(), size);
        return true;
    }
    // readWholeFile answers null for an empty file too; one the JVM could
    // read at its start and this process cannot is as good as empty.
    text->clear();
    return fileExists(path.c_str()) != 0;
}

}  // namespace

std::vector<std::string> splitArgumentFile(std::string_view text) {
    return ArgumentFileSplitter(text).split();
}

std::vector<std::string> splitOptionsText(std::string_view text) {
    std::vector<std::string> options;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) i++;
        if (i >= text.size()) break;
        std::string option;
        while (i < text.size() && !isBlank(text[i])) {
            char c = text[i++];
            if (c != '"' && c != '\'') {
                option += c;
                continue;
            }
            // Everything up to the matching quote, blanks included. The JVM
            // refuses an unmatched quote; here it runs to the end.
            while (i < text.size() && text[i] != c) option += text[i++];
            if (i < text.size()) i++;
        }
        options.push_back(std::move(option));
    }
    return options;
}

std::vector<std::string> splitFlagsFile(std::string_view text) {
    // The JVM reads such a file into a token of 1023 bytes and stops reading
    // when one fills it.
    constexpr size_t kTokenLimit = 1023;
    std::vector<std::string> flags;
    std::string token;
    bool betweenTokens = true;
    bool inComment = false;
    bool inQuote = false;
    char quote = 0;
    for (size_t i = 0; i < text.size() && token.size() < kTokenLimit; i++) {
        char c = text[i];
        if (betweenTokens) {
            if (inComment) {
                inComment = c != '\n';
            } else if (c == '#') {
                inComment = true;
            } else if (!isBlank(c)) {
                betweenTokens = false;
                token += c;
            }
        } else if (c == '\n' || (!inQuote && isBlank(c))) {
            flags.push_back(std::move(token));
            token.clear();
            betweenTokens = true;
            inQuote = false;
        } else if (!inQuote && (c == '"' || c == '\'')) {
            inQuote = true;
            quote = c;
        } else if (inQuote && c == quote) {
            inQuote = false;
        } else {
            token += c;
        }
    }
    if (!token.empty()) flags.push_back(std::move(token));
    return flags;
}

std::string joinOptionsText(const std::vector<std::string>& options) {
    std::string text;
    for (const std::string& option : options) {
        if (!text.empty()) text += ' ';
        if (option.empty()) text += "\"\"";
        // Runs of double quotes go in single quotes, all else in double
        // quotes where it holds a blank or a single quote.
        for (size_t i = 0; i < option.size();) {
            bool doubleQuotes = option[i] == '"';
            size_t end = i;
            while (end < option.size() && (option[end] == '"') == doubleQuotes) end++;
            std::string_view run = std::string_view(option).substr(i, end - i);
            bool plain = !doubleQuotes && run.find('\'') == std::string_view::npos &&
                         std::none_of(run.begin(), run.end(), isBlank);
            if (plain) {
                text += run;
            } else {
                char quote = doubleQuotes ? '\'' : '"';
                text += quote;
                text += run;
                text += quote;
            }
            i = end;
        }
    }
    return text;
}

std::vector<OptionSource> collectOptionSources(const OptionInputs& inputs) {
    return SourceCollector(inputs).collect();
}

const std::vector<OptionSource>& jvmOptionSources() {
    static const std::vector<OptionSource> sources = [] {
        OptionInputs inputs;
        int argc = 0;
        char** argv = nullptr;
        if (getCommandLineArguments(&argc, &argv) == 0) {
            inputs.commandLine.assign(argv, argv + argc);
            freeCommandLineArguments(argc, argv);
        }
        inputs.java9 = agent.java9 != 0;
        inputs.variable = [](const char* name) -> const char* {
            static std::vector<HeapString> kept;
            kept.emplace_back(lfts_getenv(name));
            return kept.back().get();
        };
        inputs.readFile = readTextFile;
        return collectOptionSources(inputs);
    }();
    return sources;
}
