#pragma once
// The converter's command line, taken apart without touching files or sockets.
//
// Options apply the way the classic encoder front ends apply them: options seen before an
// "-i" belong to that input, options after the last input belong to the output, and
// "-lss" names where the output really goes ("lss://host:port" for a live FLV byte stream,
// "sls://host:port" for length-prefixed fragmented 3GP records). Without "-lss" the
// command is the one-shot snapshot: one raw frame file in, one JPEG file out.
//
// Pure functions: callable from any thread, used by main() and by the unit tests.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace converter {

enum class OutputMode {
  LiveFlv,       // "lss": FLV byte stream on the first connection
  PacketStream,  // "sls": fragmented 3GP, each fragment one length-prefixed record
  Snapshot,      // no "-lss": a raw frame file converted into a JPEG file
};

enum class SampleFormat { U8, S16LE };

struct VideoInput {
  std::string path;  // a placeholder for the streaming modes; the frame file for snapshots
  int width = 0;
  int height = 0;
  int frameRate = 25;
};

struct AudioInput {
  std::string path;  // placeholder: raw audio arrives on the second connection
  int sampleRate = 0;
  int channels = 1;
  SampleFormat format = SampleFormat::U8;
};

struct ConverterCommand {
  OutputMode mode = OutputMode::Snapshot;
  bool overwrite = false;
  std::optional<VideoInput> video;
  std::optional<AudioInput> audio;
  std::string outputPath;
  int outWidth = 0;       // 0: the input's size
  int outHeight = 0;
  int outSampleRate = 0;  // 0: the input's rate
  int outChannels = 0;    // 0: the input's channel count
  std::string host;       // from the "lss://" or "sls://" address
  uint16_t port = 0;
};

// Frame sizes: "WxH" or a name ("qcif" 176x144, "cif" 352x288, ...). False for anything
// else, and for sizes that are zero, odd, or larger than 4096 on a side.
bool ParseFrameSize(const std::string& text, int* width, int* height);

// "lss://127.0.0.1:5000" or "sls://...": scheme, numeric IPv4 host, port 1..65535.
bool ParseStreamAddress(const std::string& text, OutputMode* mode, std::string* host,
                        uint16_t* port);

// args: the arguments after the program name. On failure returns false and says why in
// error (one line, meant for standard error).
bool ParseConverterCommand(const std::vector<std::string>& args, ConverterCommand* command,
                           std::string* error);

}  // namespace converter
