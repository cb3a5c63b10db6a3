#pragma once

// The few CoreFoundation string calls the program uses, with Apple's names, types and
// signatures, so code written against <CoreFoundation/CoreFoundation.h> compiles unchanged.
// Strings are reference counted; whoever gets one from a "Create" or "Copy" call releases it.

#include <cstdint>

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef unsigned long long UInt64; // as on Apple, not uint64_t's unsigned long
typedef long long SInt64;
typedef float Float32;
typedef double Float64;
typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;

typedef signed long CFIndex;
typedef UInt32 CFStringEncoding;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;

// As on Apple: the allocator is an exported constant, the encodings a named enum, noErr an
// enumerator without a fixed type.
enum CFStringBuiltInEncodings : CFStringEncoding {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};
enum { noErr = 0 };

extern "C" {

extern const CFAllocatorRef kCFAllocatorDefault; // null: the default allocator

CFTypeRef CFRetain(CFTypeRef cf);
// Like Apple's, releasing NULL is a programming error: it stops the process with a message.
void CFRelease(CFTypeRef cf);

// NULL when the bytes are not valid in the encoding (UTF-8 and ASCII are supported).
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
// Length in UTF-16 code units, as on Apple.
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
// Copies the text and its terminating NUL; false when the buffer is too small or the text
// cannot be expressed in the encoding.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
}
