#pragma once
// The streaming run of the converter ("lss" and "sls" outputs): connects back to the
// program, greets, reads raw input, encodes and writes the output on the first connection
// until the program closes it.
//
//   first connection   greeting = process id; raw YUYV frames in; encoded output out
//   second connection  only with an audio input; greeting = process id OR 0x1000000;
//                      raw PCM in; nothing out after the greeting
//
// It never waits for ever: the run ends when the program closes the first connection, when
// a write is not taken within the send limit, or when no input arrives for too long
// (a program that never accepted the connection, or one that went quiet).
//
// Runs on the converter's main thread.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "converter/AudioEncoder.h"
#include "converter/ConverterCommand.h"
#include "converter/ConverterLink.h"
#include "converter/StreamOutput.h"
#include "converter/VideoEncoder.h"

namespace converter {

struct StreamLimits {
  int connectMs = 5000;
  int firstInputMs = 10000;  // from the greeting to the first input byte
  int idleMs = 60000;        // between input bytes later on
  int sendMs = 10000;        // for the program to take one piece of output
};

class CStreamConverter {
 public:
  CStreamConverter(const ConverterCommand& command, const StreamLimits& limits);

  // Returns the process exit code: 0 when the program closed the connection, 1 on failure
  // (the reason is on standard error).
  int Run();

 private:
  using Clock = std::chrono::steady_clock;

  bool SetUp(std::string* error);
  // One receive each per wake-up, so that a busy video connection cannot hold the audio
  // back (the muxer would then see audio a fragment late). Each returns false when the run
  // must end; *closed tells that the program closed the connection.
  bool PumpVideoLink(bool* closed, std::string* error);
  bool PumpAudioLink(bool* closed, std::string* error);
  void NoteInput();
  int64_t MillisecondsSinceFirstInput() const;

  ConverterCommand m_command;
  StreamLimits m_limits;
  CConverterLink m_videoLink;
  CConverterLink m_audioLink;
  CVideoEncoder m_video;
  CAudioEncoder m_audio;
  CStreamOutput m_output;
  int m_videoStream = -1;
  int m_audioStream = -1;
  std::vector<uint8_t> m_frame;  // the raw frame being received
  size_t m_frameFilled = 0;
  std::vector<uint8_t> m_scratch;
  std::string m_sinkError;  // why the output refused a packet
  int m_sendErrno = 0;      // errno of the failed send, when one failed
  int64_t m_framesEncoded = 0;
  int64_t m_videoStartPts = -1;  // frames; set by the first video byte
  bool m_audioStarted = false;
  bool m_anyInput = false;
  Clock::time_point m_firstInput;
  Clock::time_point m_lastInput;
};

}  // namespace converter
