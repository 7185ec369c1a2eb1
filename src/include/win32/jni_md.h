/*
 * Machine-dependent JNI types for Windows (LLP64), written for this project
 * because the JDK installed on the build machine carries only its own
 * platform's header. The layout follows the Windows JNI ABI: jint is a
 * 32-bit long, jlong a 64-bit long long, and JNICALL the __stdcall calling
 * convention (which only matters on i386).
 */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
