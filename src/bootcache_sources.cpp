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

// Which JVMs read a variable.
enum class ReadBy { launcher, anyJvm, hotSpot, openJ9 };
struct OptionVariable {
    const char* name;
    ReadBy readBy;
};
// In the order the runtime hash takes them. OpenJ9 reads JAVA_TOOL_OPTIONS,
// OPENJ9_JAVA_OPTIONS and IBM_JAVA_OPTIONS in that order, all before the
// command line, so a later one overrides an earlier one.
constexpr OptionVariable kOptionVariables[] = {{"JDK_JAVA_OPTIONS", ReadBy::launcher},
                                               {"JAVA_TOOL_OPTIONS", ReadBy::anyJvm},
                                               {"OPENJ9_JAVA_OPTIONS", ReadBy::openJ9},
                                               {"IBM_JAVA_OPTIONS", ReadBy::openJ9},
                                               {"_JAVA_OPTIONS", ReadBy::anyJvm},
                                               {"JDK_AOT_VM_OPTIONS", ReadBy::hotSpot}};
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

class SourceCollector {
public:
    explicit SourceCollector(const OptionInputs& inputs)
        : in_(inputs), release_(inputs.grammarRelease()), expandFiles_(inputs.java9) {}

    std::vector<OptionSource> collect() {
        std::vector<OptionSource> sources(1);
        sources[0].kind = SourceKind::commandLine;
        sources[0].name = "command line";
        sources[0].present = true;
        for (const OptionVariable& variable : kOptionVariables) {
            OptionSource source;
            source.kind = kindOf(variable);
            source.name = variable.name;
            const char* value = in_.variable ? in_.variable(variable.name) : nullptr;
            source.present = value != nullptr && isRead(variable);
            if (source.present) source.options = split(source.kind, value);
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
            source.release = release_;
            if (source.isCommandLine()) source.options = commandLine();
        }
        if (!in_.openJ9) expandOptionsFiles(&sources);
        return sources;
    }

private:
    SourceKind kindOf(const OptionVariable& variable) const {
        if (variable.readBy == ReadBy::launcher) return SourceKind::launcherVariable;
        return in_.openJ9 ? SourceKind::openJ9Variable : SourceKind::jvmVariable;
    }

    bool isRead(const OptionVariable& variable) const {
        switch (variable.readBy) {
            case ReadBy::launcher: return in_.java9;  // only the launcher of Java 9 and later
            case ReadBy::anyJvm: return true;
            case ReadBy::hotSpot: return !in_.openJ9;
            case ReadBy::openJ9: return in_.openJ9;
        }
        return false;
    }

    static std::vector<std::string> split(SourceKind kind, std::string_view text) {
        return kind == SourceKind::openJ9Variable ? splitOpenJ9OptionsText(text) : splitOptionsText(text);
    }

    std::vector<std::string> commandLine() {
        const std::vector<std::string>& argv = in_.commandLine;
        if (argv.empty()) return {};
        OptionScan scan(release_);
        std::vector<std::string> rest(argv.begin() + 1, argv.end());
        std::vector<std::string> expanded = expandArgumentFiles(rest, &scan);
        expanded.insert(expanded.begin(), argv[0]);
        return expanded;
    }

    // Argument files expanded in place up to the main class, as the launcher
    // does; "@@x" stands for "@x". An argument file's own "@x" is an
    // argument as it stands: the launcher expands no file inside a file.
    // `scan` (null for a variable, which holds no main class) tells where
    // the options end.
    std::vector<std::string> expandArgumentFiles(const std::vector<std::string>& args, OptionScan* scan) {
        std::vector<std::string> out;
        for (const std::string& arg : args) {
            bool options = scan == nullptr || !scan->over();
            if (!options || !expandFiles_ || arg.size() < 2 || arg[0] != '@') {
                push(&out, arg, scan);
            } else if (arg[1] == '@') {
                push(&out, arg.substr(1), scan);
            } else {
                std::string text;
                if (!readFile(arg.substr(1), "argument file", &text)) continue;
                for (const std::string& token : splitArgumentFile(text)) push(&out, token, scan);
            }
        }
        return out;
    }

    void push(std::vector<std::string>* out, const std::string& arg, OptionScan* scan) {
        if (scan == nullptr || !scan->over()) {
            if (arg == kDisableArgumentFiles) expandFiles_ = false;
            if (scan != nullptr) scan->see(arg);
        }
        out->push_back(arg);
    }

    // The options files as HotSpot reads them. -XX:VMOptionsFile= (Java 9
    // and later): one per container of options, the command line with
    // JDK_JAVA_OPTIONS being one, never one inside another (the JVM refuses
    // to start otherwise). -XX:Flags=: only the last one counts, in the
    // order HotSpot takes its containers (on Java 8 only the command line's).
    // Each file's options go in place of the option that names it, which
    // stays for the filter to drop.
    void expandOptionsFiles(std::vector<OptionSource>* sources) {
        if (in_.java9) {
            // The launcher puts JDK_JAVA_OPTIONS before the command line's
            // options: the two are one container to the JVM.
            bool launcherHadOne = false;
            for (OptionSource& source : *sources) {
                if (source.present && source.kind == SourceKind::launcherVariable) {
                    launcherHadOne = expandVmOptionsFile(&source);
                }
            }
            for (OptionSource& source : *sources) {
                if (!source.present || source.kind == SourceKind::launcherVariable) continue;
                if (!(source.isCommandLine() && launcherHadOne)) expandVmOptionsFile(&source);
            }
        }
        expandLastFlagsFile(sources);
    }

    // The range of a source's options that are the JVM's.
    static size_t firstOption(const OptionSource& source) { return source.isCommandLine() ? 1 : 0; }
    static size_t endOfOptions(const OptionSource& source) {
        return source.isCommandLine() ? static_cast<size_t>(findArgumentLimit(source.options, source.release))
                                      : source.options.size();
    }

    // Expands the source's first -XX:VMOptionsFile=; whether it had one.
    bool expandVmOptionsFile(OptionSource* source) {
        size_t end = endOfOptions(*source);
        for (size_t i = firstOption(*source); i < end; i++) {
            std::string_view option = source->options[i];
            if (!option.starts_with(kVmOptionsFile)) continue;
            std::string text;
            if (readFile(std::string(option.substr(kVmOptionsFile.size())), "options file", &text)) {
                std::vector<std::string> inner = splitOptionsText(text);
                source->options.insert(source->options.begin() + static_cast<std::ptrdiff_t>(i) + 1, inner.begin(),
                                       inner.end());
            }
            return true;
        }
        return false;
    }

    void expandLastFlagsFile(std::vector<OptionSource>* sources) {
        std::vector<OptionSource*> order;
        auto add = [&order, sources](auto matches) {
            for (OptionSource& source : *sources) {
                if (source.present && matches(source)) order.push_back(&source);
            }
        };
        if (in_.java9) {
            add([](const OptionSource& s) { return s.name == "JAVA_TOOL_OPTIONS"; });
            add([](const OptionSource& s) { return s.kind == SourceKind::launcherVariable; });
        }
        add([](const OptionSource& s) { return s.isCommandLine(); });
        if (in_.java9) {
            add([](const OptionSource& s) { return s.name == "_JAVA_OPTIONS"; });
            add([](const OptionSource& s) { return s.name == "JDK_AOT_VM_OPTIONS"; });
        }
        OptionSource* last = nullptr;
        size_t at = 0;
        for (OptionSource* source : order) {
            size_t end = endOfOptions(*source);
            for (size_t i = firstOption(*source); i < end; i++) {
                if (std::string_view(source->options[i]).starts_with(kFlagsFile)) {
                    last = source;
                    at = i;
                }
            }
        }
        if (last == nullptr) return;
        std::string text;
        if (!readFile(last->options[at].substr(kFlagsFile.size()), "flags file", &text)) return;
        std::vector<std::string> flags;
        for (const std::string& flag : splitFlagsFile(text)) flags.push_back("-XX:" + flag);
        last->options.insert(last->options.begin() + static_cast<std::ptrdiff_t>(at) + 1, flags.begin(), flags.end());
    }

    bool readFile(const std::string& path, const char* what, std::string* text) {
        FileRead read = in_.readFile ? in_.readFile(path, text) : FileRead::missing;
        if (read == FileRead::ok) return true;
        if (read == FileRead::notRegular) {
            // A FIFO or a device: reading it could block start-up for good,
            // and the JVM could not have read options from it either.
            log_write(TS_FATAL, "The %s %s is not a regular file", what, path.c_str());
            fatal_error_kill(1);
        }
        if (read == FileRead::foreignOwner || read == FileRead::othersMayWrite) {
            // What is there now may not be what the JVM read at its start:
            // another user may have put it there or changed it since (a
            // launcher's temporary file in a shared folder, removed once the
            // JVM ran, is a name anyone can take).
            log_write(TS_WARN, "Not reading the %s %s: %s. The child JVM does not get its options", what,
                      path.c_str(), fileReadProblem(read));
        } else {
            // The JVM read it at its start; it has gone since (a launcher's
            // temporary file, removed once the JVM ran).
            log_write(TS_WARN, "Could not read the %s %s: the child JVM does not get its options", what,
                      path.c_str());
        }
        text->clear();
        return false;
    }

    const OptionInputs& in_;
    int release_;
    bool expandFiles_;
};

FileRead readTextFile(const std::string& path, std::string* text) {
    return readRegularFile(path.c_str(), text);
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

std::vector<std::string> splitOpenJ9OptionsText(std::string_view text) {
    std::vector<std::string> options;
    std::string option;
    bool inOption = false;
    bool quoteOpened = false;
    bool quoteClosed = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == ' ' && (!quoteOpened || quoteClosed)) {
            if (inOption) options.push_back(std::move(option));
            option.clear();
            inOption = quoteOpened = quoteClosed = false;
            continue;
        }
        inOption = true;
        bool escapedQuote = (c == '\\' || c == '"') && i + 1 < text.size() && text[i + 1] == '"';
        if (escapedQuote) {
            option += '"';
            i++;
        } else if (c == '"') {
            // Only the first quoted part of an option holds spaces: after
            // its closing quote, a space ends the option even inside a
            // second one.
            if (quoteOpened) quoteClosed = true;
            quoteOpened = true;
        } else {
            option += c;
        }
    }
    if (inOption) options.push_back(std::move(option));
    return options;
}

std::string joinOpenJ9OptionsText(const std::vector<std::string>& options) {
    std::string text;
    for (const std::string& option : options) {
        if (option.empty()) continue;
        if (!text.empty()) text += ' ';
        // Quote up to the last space, so that the closing quote follows a
        // space and never a backslash; every quote is written \".
        size_t space = option.rfind(' ');
        size_t quoted = space == std::string::npos ? 0 : space + 1;
        if (quoted != 0) text += '"';
        for (size_t i = 0; i < option.size(); i++) {
            if (option[i] == '"') text += '\\';
            text += option[i];
            if (i + 1 == quoted) text += '"';
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
        inputs.release = featureRelease(agent.jvmtiMajorVersion);
        inputs.openJ9 = agent.openJ9 != 0 || agent.ibmVendor != 0;
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
