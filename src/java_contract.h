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

// The agent jar's manifest keys, colon and blank included.
inline constexpr char kPremainClassKey[] = "Premain-Class: ";
inline constexpr char kImplementationVersionKey[] = "Implementation-Version: ";
inline constexpr char kManifestEntry[] = "META-INF/MANIFEST.MF";
