// Names and signatures the Java side of the agent must match.
// Both sides must change together.
#pragma once

#define TS_INSTRUMENTATION_CLASS "com/lindenforgesys/reload/jvmti/MinimalInstrumentation"
#define TS_INSTRUMENTATION_CLASS_DOTTED "com.lindenforgesys.reload.jvmti.MinimalInstrumentation"

inline constexpr char kInstrumentationClass[] = TS_INSTRUMENTATION_CLASS;
inline constexpr char kConstructorSignature[] = "()V";
inline constexpr char kPremainMethod[] = "loadClassAndCallPremain";
inline constexpr char kPremainSignature[] =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";
inline constexpr char kTransformMethod[] = "transform";
inline constexpr char kTransformSignature9[] =
    "(Ljava/lang/Module;Ljava/lang/ClassLoader;Ljava/lang/String;Ljava/lang/Class;"
    "Ljava/security/ProtectionDomain;[BZ)[B";
inline constexpr char kTransformSignature8[] =
    "(Ljava/lang/ClassLoader;Ljava/lang/String;Ljava/lang/Class;Ljava/security/ProtectionDomain;[BZ)[B";

// Whether the Java side has transformers of a kind: boolean instance fields
// that it keeps up to date as transformers come and go. A hook whose kind has
// none hands nothing to Java, as the JDK's agent switches the event off for
// an environment without transformers. Where the class declares no such
// field, every class goes to Java.
inline constexpr char kHasPlainTransformersField[] = "hasPlainTransformers";
inline constexpr char kHasRetransformingTransformersField[] = "hasRetransformingTransformers";

// The agent jar's manifest keys, colon and blank included.
inline constexpr char kPremainClassKey[] = "Premain-Class: ";
inline constexpr char kImplementationVersionKey[] = "Implementation-Version: ";
inline constexpr char kManifestEntry[] = "META-INF/MANIFEST.MF";

// The natives beyond the four, bound with RegisterNatives: each only where
// the Java class declares it (by name and signature), so that an agent jar
// built for the four natives alone runs unchanged. All are instance methods
// of the instrumentation class. The Java side checks the arguments the
// Instrumentation interface documents (nulls, primitives, arrays) before it
// calls them; a JVM TI error becomes the exception the JDK's own agent
// throws for the same call.
struct ExtraNative {
    const char* name;
    const char* signature;
};
// Instrumentation.getObjectSize.
inline constexpr ExtraNative kGetObjectSize = {"getObjectSizeImpl", "(Ljava/lang/Object;)J"};
// appendToBootstrapClassLoaderSearch / appendToSystemClassLoaderSearch: the
// jar file's path.
inline constexpr ExtraNative kAppendToBootSearch = {"appendToBootstrapClassLoaderSearchImpl",
                                                    "(Ljava/lang/String;)V"};
inline constexpr ExtraNative kAppendToSystemSearch = {"appendToSystemClassLoaderSearchImpl",
                                                      "(Ljava/lang/String;)V"};
// isModifiableClass, and the initiated classes of a loader (null: the boot
// loader) for getInitiatedClasses.
inline constexpr ExtraNative kIsModifiableClass = {"isModifiableClassImpl", "(Ljava/lang/Class;)Z"};
inline constexpr ExtraNative kGetInitiatedClasses = {"getInitiatedClassesImpl",
                                                     "(Ljava/lang/ClassLoader;)[Ljava/lang/Class;"};
// The native method prefixes of one kind of transformer, in order: on the
// retransforming environment when `retransformCapable`, else on the main
// one (which keeps the library's own prefix first).
inline constexpr ExtraNative kSetNativeMethodPrefixes = {"setNativeMethodPrefixesImpl", "([Ljava/lang/String;Z)V"};
// Java 9 and later: isModifiableModule and the steps of redefineModule.
inline constexpr ExtraNative kIsModifiableModule = {"isModifiableModuleImpl", "(Ljava/lang/Module;)Z"};
inline constexpr ExtraNative kAddModuleReads = {"addModuleReadsImpl", "(Ljava/lang/Module;Ljava/lang/Module;)V"};
inline constexpr ExtraNative kAddModuleExports = {"addModuleExportsImpl",
                                                  "(Ljava/lang/Module;Ljava/lang/String;Ljava/lang/Module;)V"};
inline constexpr ExtraNative kAddModuleOpens = {"addModuleOpensImpl",
                                                "(Ljava/lang/Module;Ljava/lang/String;Ljava/lang/Module;)V"};
inline constexpr ExtraNative kAddModuleUses = {"addModuleUsesImpl", "(Ljava/lang/Module;Ljava/lang/Class;)V"};
inline constexpr ExtraNative kAddModuleProvides = {"addModuleProvidesImpl",
                                                   "(Ljava/lang/Module;Ljava/lang/Class;Ljava/lang/Class;)V"};
