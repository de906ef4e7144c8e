#include "converter/StreamConverter.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace converter {
namespace {
constexpr size_t kScratchBytes = 64 * 1024;

// The program closed or reset its end: the normal way a run ends.
bool IsPeerGone(int error) { return error == EPIPE || error == ECONNRESET; }
}  // namespace

CStreamConverter::CStreamConverter(const ConverterCommand& command, const StreamLimits& limits)
    : m_command(command), m_limits(limits), m_scratch(kScratchBytes) {}

bool CStreamConverter::SetUp(std::string* error) {
  if (!m_output.Open(m_command.mode,
                     [this](const uint8_t* data, size_t length) {
                       if (m_videoLink.SendAll(data, length, m_limits.sendMs)) return true;
                       m_sendErrno = errno;
                       return false;
                     },
                     error))
    return false;
  // Audio goes first: the program's FLV reader ends the stream header at the first video
  // key-frame tag, which the video decoder configuration is; an audio configuration placed
  // after it would be missing for every viewer who joins later.
  if (m_command.audio) {
    const int rate = m_command.outSampleRate ? m_command.outSampleRate : m_command.audio->sampleRate;
    const int channels = m_command.outChannels ? m_command.outChannels : m_command.audio->channels;
    if (!m_audio.Open(*m_command.audio, rate, channels, error)) return false;
    m_audioStream = m_output.AddStream(m_audio.Context(), error);
    if (m_audioStream < 0) return false;
  }
  if (m_command.video) {
    const VideoInput& in = *m_command.video;
    const int outWidth = m_command.outWidth ? m_command.outWidth : in.width;
    const int outHeight = m_command.outHeight ? m_command.outHeight : in.height;
    // The phones' small stream gets less search effort than the main one, whose pictures
    // also make the alarm clips.
    const char* preset = m_command.mode == OutputMode::PacketStream ? "superfast" : "veryfast";
    if (!m_video.Open(in.width, in.height, outWidth, outHeight, in.frameRate, preset, error)) return false;
    m_videoStream = m_output.AddStream(m_video.Context(), error);
    if (m_videoStream < 0) return false;
    m_frame.resize(m_video.InputFrameBytes());
  }
  return true;
}

void CStreamConverter::NoteInput() {
  m_lastInput = Clock::now();
  if (!m_anyInput) {
    m_anyInput = true;
    m_firstInput = m_lastInput;
  }
}

int64_t CStreamConverter::MillisecondsSinceFirstInput() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_firstInput).count();
}

bool CStreamConverter::PumpVideoLink(bool* closed, std::string* error) {
  const auto sink = [this](AVPacket* packet, const AVCodecContext* encoder) {
    return m_output.WritePacket(packet, encoder, m_videoStream, &m_sinkError);
  };
  uint8_t* target = m_scratch.data();
  size_t room = m_scratch.size();
  if (m_command.video) {
    target = m_frame.data() + m_frameFilled;
    room = m_frame.size() - m_frameFilled;
  }
  const ssize_t n = m_videoLink.Receive(target, room);
  if (n == -2) return true;
  if (n == 0 || (n < 0 && IsPeerGone(errno))) {
    *closed = true;
    return false;
  }
  if (n < 0) {
    *error = std::string("reading the first connection: ") + strerror(errno);
    return false;
  }
  NoteInput();
  if (!m_command.video) return true;  // no video input: whatever comes here is not ours
  if (m_videoStartPts < 0) {
    m_videoStartPts = MillisecondsSinceFirstInput() * m_command.video->frameRate / 1000;
  }
  m_frameFilled += static_cast<size_t>(n);
  if (m_frameFilled < m_frame.size()) return true;
  m_frameFilled = 0;
  if (!m_video.Encode(m_frame.data(), m_videoStartPts + m_framesEncoded, sink, error)) {
    *closed = IsPeerGone(m_sendErrno);
    if (!m_sinkError.empty()) *error = m_sinkError;
    return false;
  }
  ++m_framesEncoded;
  return true;
}

bool CStreamConverter::PumpAudioLink(bool* closed, std::string* error) {
  const auto sink = [this](AVPacket* packet, const AVCodecContext* encoder) {
    return m_output.WritePacket(packet, encoder, m_audioStream, &m_sinkError);
  };
  const ssize_t n = m_audioLink.Receive(m_scratch.data(), m_scratch.size());
  if (n == -2) return true;
  if (n <= 0) {
    // The program gave up the audio connection only; the video goes on without sound.
    fprintf(stderr, "converter: audio connection closed, going on without audio\n");
    m_audioLink.Close();
    return true;
  }
  NoteInput();
  if (!m_audioStarted) {
    m_audioStarted = true;
    m_audio.SetStartPts(MillisecondsSinceFirstInput() * m_audio.Context()->sample_rate / 1000);
  }
  if (!m_audio.Feed(m_scratch.data(), static_cast<size_t>(n), sink, error)) {
    *closed = IsPeerGone(m_sendErrno);
    if (!m_sinkError.empty()) *error = m_sinkError;
    return false;
  }
  return true;
}

int CStreamConverter::Run() {
  std::string error;
  if (!SetUp(&error)) {
    fprintf(stderr, "converter: %s\n", error.c_str());
    return 1;
  }
  const auto pid = static_cast<uint32_t>(getpid());
  if (!m_videoLink.Open(m_command.host, m_command.port, pid, m_limits.connectMs, &error)) {
    fprintf(stderr, "converter: %s\n", error.c_str());
    return 1;
  }
  if (m_command.audio &&
      !m_audioLink.Open(m_command.host, m_command.port, pid | kAudioSessionKeyBit, m_limits.connectMs, &error)) {
    fprintf(stderr, "converter: audio connection: %s\n", error.c_str());
    return 1;
  }
  m_lastInput = Clock::now();

  for (;;) {
    const int limit = m_anyInput ? m_limits.idleMs : m_limits.firstInputMs;
    const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lastInput).count();
    if (quiet >= limit) {
      fprintf(stderr, "converter: no input from the program for %d ms, giving up\n", limit);
      return 1;
    }
    pollfd fds[2] = {{m_videoLink.Fd(), POLLIN, 0}, {m_audioLink.Fd(), POLLIN, 0}};
    const nfds_t count = m_audioLink.IsOpen() ? 2 : 1;
    const int ready = poll(fds, count, static_cast<int>(limit - quiet));
    if (ready < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "converter: poll: %s\n", strerror(errno));
      return 1;
    }
    if (ready == 0) continue;
    bool closed = false;
    const bool goOn = (count < 2 || fds[1].revents == 0 || PumpAudioLink(&closed, &error)) &&
                      (fds[0].revents == 0 || PumpVideoLink(&closed, &error));
    if (goOn) continue;
    if (closed) {
      fprintf(stderr, "converter: the program closed the connection after %lld frames, %llu bytes sent\n",
              static_cast<long long>(m_framesEncoded), static_cast<unsigned long long>(m_output.BytesDelivered()));
      return 0;
    }
    fprintf(stderr, "converter: %s\n", error.c_str());
    return 1;
  }
}

}  // namespace converter
