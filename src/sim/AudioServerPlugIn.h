#pragma once

// The HAL plug-in interface (<CoreAudio/AudioServerPlugIn.h> on a Mac) as the simulated audio
// server offers it: Apple's names, layouts, constants and UUIDs, so a driver written against
// Apple's header compiles and loads here unchanged. The constants the HAL's client API already
// declares come from sim/CoreAudio.h; the types of CoreAudioTypes from sim/AudioToolbox.h.

#include "sim/AudioToolbox.h"
#include "sim/CoreAudio.h"
#include "sim/CoreFoundation.h"

#include <cstddef>
#include <sys/types.h>

// COM, as CFPlugInCOM.h declares it
typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;
#define STDMETHODCALLTYPE

#define S_OK ((HRESULT)0x00000000L)
#define E_NOTIMPL ((HRESULT)0x80000001L)
#define E_NOINTERFACE ((HRESULT)0x80000004L)
#define E_POINTER ((HRESULT)0x80000005L)
#define E_FAIL ((HRESULT)0x80000008L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)

#define IUnknownUUID                                                                               \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  \
                                   0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
#define kAudioServerPlugInTypeUUID                                                                 \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9,     \
                                   0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDB)
#define kAudioServerPlugInDriverInterfaceUUID                                                      \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E,     \
                                   0x00, 0x8F, 0x96, 0xE7, 0xD2, 0x3B, 0x17)

// Objects, classes and the host's client
enum : AudioObjectID { kAudioObjectPlugInObject = 1 };
enum : UInt32 { kAudioServerPlugInHostClientID = 0 };
typedef UInt32 AudioClassID;
enum : AudioClassID {
    kAudioObjectClassID = sonarill::sim::detail::fourCharCode("aobj"),
    kAudioPlugInClassID = sonarill::sim::detail::fourCharCode("aplg"),
    kAudioBoxClassID = sonarill::sim::detail::fourCharCode("abox"),
    kAudioDeviceClassID = sonarill::sim::detail::fourCharCode("adev"),
    kAudioClockDeviceClassID = sonarill::sim::detail::fourCharCode("aclk"),
    kAudioStreamClassID = sonarill::sim::detail::fourCharCode("astr"),
    kAudioControlClassID = sonarill::sim::detail::fourCharCode("actl"),
};

// Properties of every object, of the plug-in, of a device and of a stream
enum : AudioObjectPropertySelector {
    kAudioObjectPropertyBaseClass = sonarill::sim::detail::fourCharCode("bcls"),
    kAudioObjectPropertyClass = sonarill::sim::detail::fourCharCode("clas"),
    kAudioObjectPropertyOwner = sonarill::sim::detail::fourCharCode("stdv"),
    kAudioObjectPropertyOwnedObjects = sonarill::sim::detail::fourCharCode("ownd"),
    kAudioObjectPropertyManufacturer = sonarill::sim::detail::fourCharCode("lmak"),
    kAudioObjectPropertyControlList = sonarill::sim::detail::fourCharCode("ctrl"),
    kAudioObjectPropertyCustomPropertyInfoList = sonarill::sim::detail::fourCharCode("cust"),

    kAudioPlugInPropertyDeviceList = sonarill::sim::detail::fourCharCode("dev#"),
    kAudioPlugInPropertyTranslateUIDToDevice = sonarill::sim::detail::fourCharCode("uidd"),
    kAudioPlugInPropertyBundleID = sonarill::sim::detail::fourCharCode("piid"),
    kAudioPlugInPropertyResourceBundle = sonarill::sim::detail::fourCharCode("rsrc"),

    kAudioDevicePropertyModelUID = sonarill::sim::detail::fourCharCode("muid"),
    kAudioDevicePropertyDeviceIsAlive = sonarill::sim::detail::fourCharCode("livn"),
    kAudioDevicePropertyDeviceIsRunning = sonarill::sim::detail::fourCharCode("goin"),
    kAudioDevicePropertyDeviceCanBeDefaultDevice = sonarill::sim::detail::fourCharCode("dflt"),
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice =
        sonarill::sim::detail::fourCharCode("sflt"),
    kAudioDevicePropertyLatency = sonarill::sim::detail::fourCharCode("ltnc"),
    kAudioDevicePropertySafetyOffset = sonarill::sim::detail::fourCharCode("saft"),
    kAudioDevicePropertyAvailableNominalSampleRates = sonarill::sim::detail::fourCharCode("nsr#"),
    kAudioDevicePropertyZeroTimeStampPeriod = sonarill::sim::detail::fourCharCode("ring"),
    kAudioDevicePropertyClockDomain = sonarill::sim::detail::fourCharCode("clkd"),
    kAudioDevicePropertyIsHidden = sonarill::sim::detail::fourCharCode("hidn"),
    kAudioDevicePropertyPreferredChannelsForStereo = sonarill::sim::detail::fourCharCode("dch2"),

    kAudioStreamPropertyIsActive = sonarill::sim::detail::fourCharCode("sact"),
    kAudioStreamPropertyDirection = sonarill::sim::detail::fourCharCode("sdir"),
    kAudioStreamPropertyTerminalType = sonarill::sim::detail::fourCharCode("term"),
    kAudioStreamPropertyStartingChannel = sonarill::sim::detail::fourCharCode("schn"),
    kAudioStreamPropertyLatency = sonarill::sim::detail::fourCharCode("ltnc"),
    kAudioStreamPropertyVirtualFormat = sonarill::sim::detail::fourCharCode("sfmt"),
    kAudioStreamPropertyAvailableVirtualFormats = sonarill::sim::detail::fourCharCode("sfma"),
    kAudioStreamPropertyPhysicalFormat = sonarill::sim::detail::fourCharCode("pft "),
    kAudioStreamPropertyAvailablePhysicalFormats = sonarill::sim::detail::fourCharCode("pfta"),
};

// Status codes the HAL's client API does not already declare
enum : OSStatus {
    kAudioHardwareNotReadyError = OSStatus(sonarill::sim::detail::fourCharCode("nrdy")),
    kAudioDeviceUnsupportedFormatError = OSStatus(sonarill::sim::detail::fourCharCode("!dat")),
    kAudioDevicePermissionsError = OSStatus(sonarill::sim::detail::fourCharCode("!hog")),
};

// Custom property data types and clock algorithms
enum : UInt32 {
    kAudioServerPlugInCustomPropertyDataTypeNone = 0,
    kAudioServerPlugInCustomPropertyDataTypeCFString = sonarill::sim::detail::fourCharCode("cfst"),
    kAudioServerPlugInCustomPropertyDataTypeCFPropertyList =
        sonarill::sim::detail::fourCharCode("plst"),
};

// IO operations, passed as plain UInt32 as the header's declarations do
enum : UInt32 {
    kAudioServerPlugInIOOperationThread = sonarill::sim::detail::fourCharCode("thrd"),
    kAudioServerPlugInIOOperationCycle = sonarill::sim::detail::fourCharCode("cycl"),
    kAudioServerPlugInIOOperationReadInput = sonarill::sim::detail::fourCharCode("read"),
    kAudioServerPlugInIOOperationConvertInput = sonarill::sim::detail::fourCharCode("cinp"),
    kAudioServerPlugInIOOperationProcessInput = sonarill::sim::detail::fourCharCode("pinp"),
    kAudioServerPlugInIOOperationProcessOutput = sonarill::sim::detail::fourCharCode("pout"),
    kAudioServerPlugInIOOperationMixOutput = sonarill::sim::detail::fourCharCode("mixo"),
    kAudioServerPlugInIOOperationProcessMix = sonarill::sim::detail::fourCharCode("pmix"),
    kAudioServerPlugInIOOperationConvertMix = sonarill::sim::detail::fourCharCode("cmix"),
    kAudioServerPlugInIOOperationWriteMix = sonarill::sim::detail::fourCharCode("rite"),
};

typedef struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
} AudioStreamRangedDescription;

typedef struct AudioServerPlugInCustomPropertyInfo {
    AudioObjectPropertySelector mSelector;
    UInt32 mPropertyDataType;
    UInt32 mQualifierDataType;
} AudioServerPlugInCustomPropertyInfo;

typedef struct AudioServerPlugInClientInfo {
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID;
} AudioServerPlugInClientInfo;

typedef struct AudioServerPlugInIOCycleInfo {
    UInt64 mIOCycleCounter;
    UInt32 mNominalIOBufferFrameSize;
    AudioTimeStamp mCurrentTime;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    union {
        Float64 mMainHostTicksPerFrame;
        Float64 mMasterHostTicksPerFrame;
    };
    Float64 mDeviceHostTicksPerFrame;
} AudioServerPlugInIOCycleInfo;

typedef struct AudioServerPlugInHostInterface AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;
typedef struct AudioServerPlugInDriverInterface AudioServerPlugInDriverInterface;
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

struct AudioServerPlugInHostInterface {
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                  UInt32 inNumberAddresses,
                                  const AudioObjectPropertyAddress* inAddresses);
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                               CFPropertyListRef inData);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef inHost,
                                                 AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
};

struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* inDriver, REFIID inUUID, LPVOID* outInterface);
    ULONG (*AddRef)(void* inDriver);
    ULONG (*Release)(void* inDriver);
    OSStatus (*Initialize)(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                             const AudioServerPlugInClientInfo* inClientInfo,
                             AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef inDriver,
                                   AudioObjectID inDeviceObjectID,
                                   const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                                 AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                               AudioObjectID inDeviceObjectID,
                                               UInt64 inChangeAction, void* inChangeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                           pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, UInt32* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, const void* inData);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                        UInt32 inClientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                       UInt32 inClientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef inDriver,
                                 AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                 Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef inDriver,
                                  AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                  UInt32 inOperationID, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef inDriver,
                                 AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                 UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              AudioObjectID inStreamObjectID, UInt32 inClientID,
                              UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                              const AudioServerPlugInIOCycleInfo* inIOCycleInfo, void* ioMainBuffer,
                              void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
};

// The layouts a driver built against Apple's header relies on.
static_assert(sizeof(CFUUIDBytes) == 16 && alignof(CFUUIDBytes) == 1);
static_assert(sizeof(AudioServerPlugInDriverInterface) == 184);
static_assert(alignof(AudioServerPlugInDriverInterface) == 8);
static_assert(offsetof(AudioServerPlugInDriverInterface, QueryInterface) == 8);
static_assert(offsetof(AudioServerPlugInDriverInterface, Initialize) == 32);
static_assert(offsetof(AudioServerPlugInDriverInterface, HasProperty) == 88);
static_assert(offsetof(AudioServerPlugInDriverInterface, StartIO) == 128);
static_assert(offsetof(AudioServerPlugInDriverInterface, GetZeroTimeStamp) == 144);
static_assert(offsetof(AudioServerPlugInDriverInterface, DoIOOperation) == 168);
static_assert(offsetof(AudioServerPlugInDriverInterface, EndIOOperation) == 176);
static_assert(sizeof(AudioServerPlugInHostInterface) == 40);
static_assert(offsetof(AudioServerPlugInHostInterface, RequestDeviceConfigurationChange) == 32);
static_assert(sizeof(AudioServerPlugInClientInfo) == 24);
static_assert(offsetof(AudioServerPlugInClientInfo, mIsNativeEndian) == 8);
static_assert(offsetof(AudioServerPlugInClientInfo, mBundleID) == 16);
static_assert(sizeof(AudioServerPlugInIOCycleInfo) == 224);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mCurrentTime) == 16);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mInputTime) == 80);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mOutputTime) == 144);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mMainHostTicksPerFrame) == 208);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mDeviceHostTicksPerFrame) == 216);
static_assert(sizeof(AudioServerPlugInCustomPropertyInfo) == 12);
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40);
static_assert(sizeof(AudioTimeStamp) == 64 && sizeof(AudioValueRange) == 16);
