#pragma once

// The few CoreFoundation calls the program and its HAL plug-in use, with Apple's names, types and
// signatures, so code written against <CoreFoundation/CoreFoundation.h> compiles unchanged.
// Objects are reference counted; whoever gets one from a "Create" or "Copy" call releases it.
// Built as a shared library: the host and a plug-in it loads share this one copy, as the audio
// server and its plug-ins share Apple's framework.

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
typedef unsigned long CFTypeID;
typedef UInt32 CFStringEncoding;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef CFTypeRef CFPropertyListRef;
typedef const struct __CFDictionary* CFDictionaryRef;

typedef struct {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;

// As on Apple: the allocator is an exported constant, the encodings a named enum, noErr an
// enumerator without a fixed type.
enum CFStringBuiltInEncodings : CFStringEncoding {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};
enum { noErr = 0 };
typedef CFIndex CFComparisonResult;
enum : CFIndex { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 };
typedef unsigned long CFStringCompareFlags;

extern "C" {

extern const CFAllocatorRef kCFAllocatorDefault; // null: the default allocator

CFTypeRef CFRetain(CFTypeRef cf);
// Like Apple's, releasing NULL is a programming error: it stops the process with a message.
void CFRelease(CFTypeRef cf);
// What kind of object `cf` is: CFStringGetTypeID() for a string.
CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFStringGetTypeID(void);
// Equal strings (same text) or equal UUIDs (same bytes); objects of two kinds are never equal.
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

// One object per value for the life of the process, never released by the caller: what Apple's
// UUID constants (kAudioServerPlugInTypeUUID and the like) are made with.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1,
                                         UInt8 byte2, UInt8 byte3, UInt8 byte4, UInt8 byte5,
                                         UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
// NULL unless `uuidStr` is 8-4-4-4-12 hexadecimal digits.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr);

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
// Byte order of the UTF-8 texts, which is their code-point order; the options are ignored.
CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions);
}
