#pragma once
// How the camera HTTP server reaches the capture channels without depending on them: the
// camera window manager installs itself here at start-up. Completion threads call these.
class CFileDispatcher;

class ICameraChannels {
 public:
  virtual ~ICameraChannels() = default;
  // kind "flv" or "rtp"; 1 when attached, 0 when the channel or its convertor is missing.
  virtual int AttachViewer(CFileDispatcher* viewer, const char* kind, int channel) = 0;
  virtual void DetachViewer(int channel, CFileDispatcher* viewer) = 0;
  // Takes a JPEG of the channel's latest frame; its file name goes to outName (260 bytes).
  // outputSize is the converter's size option ("qcif") or null. 1 when taken.
  virtual int Snapshot(char* outName, const char* outputSize, int channel) = 0;
};

void SetCameraChannels(ICameraChannels* channels);
ICameraChannels* GetCameraChannels();
