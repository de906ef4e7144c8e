#pragma once
// The capture service: the operation table the capture window logic drives (one capture
// context per camera channel, one capture thread per connected and streaming source).
//
// Who may include it: capture/ (CAVICapWnd and the camera window manager) and the tests.
// Threads: every Cap* function may be called from any thread; the program calls them from
// the user-interface thread. The registered callbacks run on the capture thread of the
// context ("tCapture<driver index>"), one call at a time. A callback may call CapCaptureStop,
// CapDriverDisconnect or CapDestroyWindow on its own context: those then return without
// waiting and the thread ends after the callback returns.
//
// Sources. Which capture source stands behind the drivers is chosen by the environment
// variable VTCAM_CAPTURE, read whenever drivers are enumerated or connected:
//   (unset or empty) | "v4l2"   webcams /dev/video0 .. /dev/video9; driver index n is
//                               /dev/videon when it can capture; name = card name,
//                               version = "<driver> <major.minor.patch>"; YUYV 640x480
//                               (the device may choose another size; status reports it);
//                               no audio.
//   "test" | "test:k=v,..."     synthetic 640x480 scene with scripted motion and a tone.
//                               Keys: motion=<s> a bright block enters every <s> seconds
//                               (0 = never, default 20); hold=<s> it stays <s> seconds
//                               (default 3, less than motion); channels=<n> drivers 1..10
//                               (default 1); fps=<n> 1..60 (default 10); audio=0|1 (default
//                               1); failafter=<n> the source fails after n frames, as a
//                               vanished device would (default 0 = never).
//   "file:<path>"               a video file decoded to YUYV 640x480 and looped at its
//                               frame rate (10 fps when the file has none); one driver; no
//                               audio.
// A value that does not parse is logged and leaves no drivers.
//
// Frames are packed YUY2 (Y0 U Y1 V per pixel pair), rows top to bottom, width*2 bytes
// per row. Audio blocks are 8-bit unsigned mono PCM at 11025 Hz, 1/10 s per block.
#include <cstddef>
#include <cstdint>

namespace platform {

using CapHandle = int;  // 0 = no capture context

#pragma pack(push, 1)
// The record layouts follow the 32-bit platform the logic was written for (BOOL, UINT and
// DWORD are 4 bytes, WORD 2). Pointers are native.
struct VIDEOHDR {
  uint8_t* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesUsed;
  uint32_t dwTimeCaptured;  // ms since capture started
  uint32_t dwFlags;
};
inline constexpr uint32_t VHDR_DONE = 0x1;
inline constexpr uint32_t VHDR_KEYFRAME = 0x8;

struct WAVEHDR {
  uint8_t* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uint32_t dwFlags;
};
inline constexpr uint32_t WHDR_DONE = 0x1;

struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
inline constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct CAPPOINT {
  int32_t x;
  int32_t y;
};

struct CAPSTATUS {
  uint32_t uiImageWidth;
  uint32_t uiImageHeight;
  int32_t fLiveWindow;
  int32_t fOverlayWindow;
  int32_t fScale;
  CAPPOINT ptScroll;
  int32_t fUsingDefaultPalette;
  int32_t fAudioHardware;
  int32_t fCapFileExists;
  uint32_t dwCurrentVideoFrame;
  uint32_t dwCurrentVideoFramesDropped;
  uint32_t dwCurrentWaveSamples;
  uint32_t dwCurrentTimeElapsedMS;
  uint32_t hPalCurrent;
  int32_t fCapturingNow;
  uint32_t dwReturn;
  uint32_t wNumVideoAllocated;
  uint32_t wNumAudioAllocated;
};

struct CAPTUREPARMS {
  uint32_t dwRequestMicroSecPerFrame;
  int32_t fMakeUserHitOKToCapture;
  uint32_t wPercentDropForError;
  int32_t fYield;
  uint32_t dwIndexSize;
  uint32_t wChunkGranularity;
  int32_t fUsingDOSMemory;
  uint32_t wNumVideoRequested;
  int32_t fCaptureAudio;
  uint32_t wNumAudioRequested;
  uint32_t vKeyAbort;
  int32_t fAbortLeftMouse;
  int32_t fAbortRightMouse;
  int32_t fLimitEnabled;
  uint32_t wTimeLimit;
  int32_t fMCIControl;
  int32_t fStepMCIDevice;
  uint32_t dwMCIStartTime;
  uint32_t dwMCIStopTime;
  int32_t fStepCaptureAt2x;
  uint32_t wStepCaptureAverageFrames;
  uint32_t dwAudioBufferSize;
  int32_t fDisableWriteCache;
  uint32_t AVStreamMaster;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(CAPSTATUS) == 76);
static_assert(sizeof(CAPTUREPARMS) == 96);
static_assert(offsetof(CAPSTATUS, fAudioHardware) == 32);
static_assert(offsetof(CAPTUREPARMS, fYield) == 12);
static_assert(offsetof(CAPTUREPARMS, fAbortLeftMouse) == 44);
static_assert(offsetof(CAPTUREPARMS, AVStreamMaster) == 92);

// Status callback ids sent when a capture run starts and ends.
inline constexpr int IDS_CAP_BEGIN = 300;
inline constexpr int IDS_CAP_END = 301;

using CapStatusCallback = int (*)(CapHandle, int id, const char* text);
using CapVideoCallback = int (*)(CapHandle, VIDEOHDR* frame);
using CapWaveCallback = int (*)(CapHandle, WAVEHDR* block);

// Driver description for index 0..9: false when there is no such driver. Texts are cut to
// the given sizes (NUL included); a null buffer or a size of 0 is left alone.
bool CapGetDriverDescription(int index, char* name, int nameSize, char* version, int versionSize);

// Creates a capture context; 0 on failure. Position, size and id are kept, nothing is shown.
CapHandle CapCreateCaptureWindow(int x, int y, int width, int height, int id);
// Stops and disconnects; every later operation on the handle is ignored (returns false/0).
// Handles are never reused.
void CapDestroyWindow(CapHandle handle);

// Opens the driver; false when the index has no driver, the source does not open or the
// context already has a driver. Sequence setup and audio format start at the driver's.
bool CapDriverConnect(CapHandle handle, int index);
// Stops capture if it runs and releases the source; false when nothing was connected.
bool CapDriverDisconnect(CapHandle handle);

// The operations below need a connected driver (else false / 0).
// Copies up to `size` bytes of the status record.
bool CapGetStatus(CapHandle handle, CAPSTATUS* status, uint32_t size);
// With a null buffer: the size of the current format (18), or 0 when the driver has no
// audio. Otherwise copies up to `size` bytes and returns the bytes copied.
uint32_t CapGetAudioFormat(CapHandle handle, WAVEFORMATEX* format, uint32_t size);
// Accepts only what the sources produce: PCM, 1 channel, 11025 Hz, 8 bits (size >= 16;
// cbSize is read only when size >= 18 and must then be 0). Refused while capturing.
bool CapSetAudioFormat(CapHandle handle, const WAVEFORMATEX* format, uint32_t size);
// Copies up to `size` bytes of the capture parameters.
bool CapGetSequenceSetup(CapHandle handle, CAPTUREPARMS* parms, uint32_t size);
// Stores up to `size` bytes over the current parameters (size must be at least 4).
// Applied at the next start: fCaptureAudio switches the audio blocks on and off; the
// source keeps its own frame rate (dwRequestMicroSecPerFrame is stored, not applied);
// the capture always runs on its own thread whatever fYield says.
bool CapSetSequenceSetup(CapHandle handle, const CAPTUREPARMS* parms, uint32_t size);

// Callbacks may be set (or cleared with null) at any time, also while capturing.
bool CapSetCallbackOnStatus(CapHandle handle, CapStatusCallback callback);
bool CapSetCallbackOnVideoStream(CapHandle handle, CapVideoCallback callback);
bool CapSetCallbackOnWaveStream(CapHandle handle, CapWaveCallback callback);

// Starts the capture thread; false when not connected, already capturing or the thread
// could not start. A run that ended on its own (source failure) may be started again.
bool CapCaptureSequenceNoFile(CapHandle handle);
// Stops the capture thread and returns once it calls no more callbacks; false when no
// capture was running or had ended on its own (the thread is reaped either way).
bool CapCaptureStop(CapHandle handle);

}  // namespace platform
