// The choice of the bootstrap folder, the same on every platform: the
// sources in order, which refusals fall through and which end the JVM, the
// messages and the list of what was tried. The platform's primitives (where
// the home is, the walk that adopts a folder) are behind bootcache_files.h.
#include "bootcache_folder.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "agent_util.h"
#include "bootcache_files.h"
#include "list.h"
#include "logging.h"

namespace {

// The longest name the library gives a file of the folder: a damaged cached
// jar moved aside, "tarsil-bootstrap-<32 hex>.jar.damaged-<16 hex>", then
// the child's log "tarsil-bootstrap-<20 hex>-<pid>-<16 hex>.tmp.jar.log",
// whose process id is in hex, eight digits at most for a 32-bit id. The
// generation's argument file and classpath jar are shorter.
constexpr size_t kMovedAsideName = sizeof("tarsil-bootstrap-") - 1 + 32 + sizeof(".jar.damaged-") - 1 + 16;
constexpr size_t kChildLogName = sizeof("tarsil-bootstrap-") - 1 + 20 + 1 + 8 + 1 + 16 + sizeof(".tmp.jar.log") - 1;
constexpr size_t kLongestFileName = std::max(kMovedAsideName, kChildLogName);

void note(TriedFolders* tried, std::string what) {
    if (tried != nullptr) tried->push_back(std::move(what));
}

std::string joined(const TriedFolders& tried) {
    std::string text;
    for (const std::string& one : tried) text += (text.empty() ? "" : "; ") + one;
    return text;
}

// The folder of one source, adopted when every level of its path can be
// trusted and its files can all be reached by name. Else not adopted, the
// reason in *why (when asked for); a refusal of trust, or of a length the
// path named need not show, is worth a warning whatever the source does next.
BootFolder adoptFrom(const std::string& folder, const char* source, TriedFolders* tried,
                     std::string* why = nullptr, FolderRefusal* refused = nullptr) {
    std::string reason;
    if (why == nullptr) why = &reason;
    BootFolder adopted;
    FolderRefusal ownRefusal;
    FolderRefusal& refusal = refused != nullptr ? *refused : ownRefusal;
    bool warn = false;
    if (adoptBootFolder(folder.c_str(), &adopted, &refusal)) {
        // The real path walked, which no other user can redirect: the
        // paths the JVM and the child JVM get (the bootstrap jar on Java
        // 8's boot class path, the child's output, log and argument file)
        // are built on it. A link may make it much longer than the path
        // named, so its length is judged here.
        const char* tooLong = folderPathTooLong(adopted.realPath, kLongestFileName);
        if (tooLong == nullptr) {
            HeapString finished(finishBootstrapFolder(adopted.realPath.c_str()));
            adopted.path = finished.get();
            return adopted;
        }
        closeBootFile(adopted.handle);
        adopted = {};
        refusal = {"", tooLong};
        warn = true;
    }
    *why = describeRefusal(folder, refusal);
    if (warn || refusal.trust) {
        log_write(TS_WARN, "Not using %s as the bootstrap folder: %s", folder.c_str(), why->c_str());
    }
    note(tried, std::string(source) + " " + folder + " (" + *why + ")");
    return adopted;
}

// An empty setting names no folder (taken as a path it would be the working
// directory): it is said and taken as not given.
bool isEmptySetting(const char* value, const char* setting) {
    if (value[0] != '\0') return false;
    log_write(TS_WARN, "Ignoring %s: it is empty", setting);
    return true;
}

// A folder the platform cannot take at all ends the JVM when the user
// named it by "vesta.bootcache.dir": falling through would hide the mistake.
void refuseUnsupportedProperty(const std::string& folder) {
    const char* unsupported = unsupportedFolderPath(folder);
    if (unsupported == nullptr) return;
    log_write(TS_ERROR, "Please specify a different 'vesta.bootcache.dir'.");
    log_write(TS_FATAL, "%s", unsupported);
    fatal_error_kill(0);
}

}  // namespace

std::string describeRefusal(const std::string& folder, const FolderRefusal& refusal) {
    std::string_view reason = refusal.reason;
    if (refusal.level.empty() || refusal.level == folder || !reason.starts_with("it ")) return std::string(reason);
    return refusal.level + " " + std::string(reason.substr(3));
}

BootFolder getBootstrapFromProperty(jvmtiEnv* jvmti, TriedFolders* tried) {
    JvmtiString value = getSystemProperty(jvmti, "vesta.bootcache.dir");
    if (!value || isEmptySetting(value.get(), "the system property 'vesta.bootcache.dir'")) return {};
    std::string folder = userFolderPath(value.get());
    refuseUnsupportedProperty(folder);
    return adoptFrom(folder, "'vesta.bootcache.dir'", tried);
}

BootFolder getBootstrapFromVestaBase(jvmtiEnv* jvmti, TriedFolders* tried) {
    std::string base;
    const char* source = "'vesta.base' system property";
    JvmtiString property = getSystemProperty(jvmti, "vesta.base");
    if (property && !isEmptySetting(property.get(), "the system property 'vesta.base'")) {
        base = property.get();
    } else {
        HeapString variable(lfts_getenv("VESTA_BASE"));
        if (!variable || isEmptySetting(variable.get(), "the environment variable VESTA_BASE")) return {};
        base = variable.get();
        source = "'VESTA_BASE' system environment variable";
    }
    std::string folder = folderBelow(base, "bootcache");
    // The user chose this place: a folder there that cannot be used ends
    // the JVM rather than falling through to a place the user did not ask for.
    if (unsupportedFolderPath(folder) != nullptr) {
        log_write(TS_FATAL,
                  "Couldn't write to %s. The path provided might be too long. Specify another location by changing "
                  "the %s.",
                  folder.c_str(), source);
        fatal_error_kill(0);
    }
    std::string why;
    BootFolder adopted = adoptFrom(folder, source, tried, &why);
    if (adopted.adopted()) return adopted;
    log_write(TS_FATAL,
              "Couldn't write to %s (%s). Please make sure that this location exists and is writable, or specify "
              "another location by changing the %s.",
              folder.c_str(), why.c_str(), source);
    fatal_error_kill(0);
}

BootFolder getBootstrapFromUserHome(TriedFolders* tried) {
    HomeNames names = homeNames();
    HeapString home(getUserHome());
    if (!home) {
        log_write(TS_DEBUG, "Error finding user home, got NULL!");
        note(tried, std::string(names.name) + " (" + names.noneUsable + ")");
        return {};
    }
    std::string folder = folderBelow(home.get(), ".tarsil/bootcache");
    std::string source = std::string(names.name) + "'s";
    if (const char* unsupported = unsupportedFolderPath(folder)) {
        note(tried, source + " " + folder + " (" + unsupported + ")");
        return {};
    }
    if (!isDir(folder.c_str())) log_write(TS_DEBUG, "%s is not a dir, trying to make it!", folder.c_str());
    BootFolder adopted = adoptFrom(folder, source.c_str(), tried);
    if (!adopted.adopted()) {
        log_write(TS_DEBUG, "%s wasn't writable... a dir: %d", folder.c_str(), isDir(folder.c_str()));
    }
    return adopted;
}

namespace {

// Whether a refusal is of the user's own folder below a temporary base (or
// of a level below it) rather than of the base: `level` is `base` followed
// by `own`, or by `own` and "bootcache", in the platform's separators.
bool refusesOwnLevel(const FolderRefusal& refusal, const std::string& own) {
    std::string_view level = refusal.level;
    auto endsWithLevel = [level](std::string_view tail) {
        return level.size() > tail.size() && level.ends_with(tail) &&
               (level[level.size() - tail.size() - 1] == '/' || level[level.size() - tail.size() - 1] == '\\');
    };
    return endsWithLevel(own) || endsWithLevel(own + "/bootcache") || endsWithLevel(own + "\\bootcache");
}

// The user's own folder in one temporary base; where another user has
// taken its name, a fresh private one beside it, for this start alone.
BootFolder temporaryFolderIn(const std::string& base, TriedFolders* tried) {
    std::string own = temporaryFolderName();
    std::string folder = folderBelow(folderBelow(base, own), "bootcache");
    if (const char* unsupported = unsupportedFolderPath(folder)) {
        note(tried, "the temporary folder's " + folder + " (" + unsupported + ")");
        return {};
    }
    std::string why;
    FolderRefusal refusal;
    BootFolder adopted = adoptFrom(folder, "the temporary folder's", tried, &why, &refusal);
    if (adopted.adopted() || !refusesOwnLevel(refusal, own)) return adopted;
    std::string taken = folderBelow(base, own);
    std::string fresh = folderBelow(base, own + "-" + randomHex(16));
    BootFolder adoptedFresh = adoptFrom(fresh, "a fresh folder of the temporary folder:", tried);
    if (adoptedFresh.adopted()) {
        log_write(TS_WARN,
                  "%s cannot be used (%s): using the fresh folder %s for this start. Its bootstrap jar will not be "
                  "found again by the next start. Set the system property 'vesta.bootcache.dir' or the environment "
                  "variable VESTA_BASE to a folder of your own to keep the cache.",
                  taken.c_str(), why.c_str(), adoptedFresh.realPath.c_str());
    }
    return adoptedFresh;
}

}  // namespace

BootFolder getBootstrapFromTemporaryFolder(TriedFolders* tried) {
    std::vector<std::string> bases = temporaryBases();
    if (bases.empty()) note(tried, "the temporary folder (none)");
    for (const std::string& base : bases) {
        BootFolder folder = temporaryFolderIn(base, tried);
        if (folder.adopted()) return folder;
    }
    return {};
}

BootFolder chooseBootFolder(jvmtiEnv* jvmti) {
    TriedFolders tried;
    BootFolder folder = getBootstrapFromProperty(jvmti, &tried);
    if (!folder.adopted()) folder = getBootstrapFromVestaBase(jvmti, &tried);
    if (!folder.adopted()) folder = getBootstrapFromUserHome(&tried);
    if (!folder.adopted()) {
        folder = getBootstrapFromTemporaryFolder(&tried);
        if (folder.adopted()) {
            log_write(TS_WARN,
                      "Using %s as the bootstrap folder, as no other is usable. Set the system property "
                      "'vesta.bootcache.dir' or the environment variable VESTA_BASE to choose another one.",
                      folder.realPath.c_str());
        }
    }
    if (!folder.adopted()) {
        log_write(TS_FATAL,
                  "Error finding a suitable bootstrap folder! Please specify a folder that exists and is writable by "
                  "setting the 'VESTA_BASE' system environment variable. Tried: %s.",
                  joined(tried).c_str());
        fatal_error_kill(0);
    }
    return folder;
}
