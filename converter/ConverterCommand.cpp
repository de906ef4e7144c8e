#include "converter/ConverterCommand.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace converter {
namespace {

struct NamedSize {
  const char* name;
  int width;
  int height;
};

constexpr NamedSize kNamedSizes[] = {
    {"sqcif", 128, 96}, {"qcif", 176, 144}, {"cif", 352, 288},  {"4cif", 704, 576},
    {"qqvga", 160, 120}, {"qvga", 320, 240}, {"vga", 640, 480},
};

constexpr int kMaxSide = 4096;

bool ParseInt(const std::string& text, int low, int high, int* value) {
  int v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || text.empty() || v < low || v > high) return false;
  *value = v;
  return true;
}

// Options seen since the last "-i" (or the start); they go to the next input or, when no
// input follows, to the output.
struct PendingOptions {
  std::optional<int> frameRate;
  std::optional<std::pair<int, int>> size;
  std::optional<std::string> pixelFormat;
  std::optional<int> sampleRate;
  std::optional<int> channels;
  std::optional<std::string> format;
  std::optional<std::string> audioCodec;
  std::optional<std::string> address;
};

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool TakeInput(const std::string& path, PendingOptions* pending, ConverterCommand* command,
               std::string* error) {
  const bool audioFormat = pending->format && (*pending->format == "u8" || *pending->format == "s16le");
  if (pending->audioCodec || pending->address)
    return Fail(error, "option only valid for the output given before input '" + path + "'");
  if (audioFormat) {
    if (command->audio) return Fail(error, "more than one audio input");
    if (pending->size || pending->pixelFormat || pending->frameRate)
      return Fail(error, "video options given for audio input '" + path + "'");
    if (!pending->sampleRate) return Fail(error, "audio input '" + path + "' needs -ar");
    AudioInput audio;
    audio.path = path;
    audio.sampleRate = *pending->sampleRate;
    audio.channels = pending->channels.value_or(1);
    audio.format = *pending->format == "u8" ? SampleFormat::U8 : SampleFormat::S16LE;
    command->audio = audio;
  } else {
    if (pending->format && *pending->format != "rawvideo")
      return Fail(error, "unsupported input format '" + *pending->format + "'");
    if (command->video) return Fail(error, "more than one video input");
    if (pending->pixelFormat && *pending->pixelFormat != "yuyv422")
      return Fail(error, "unsupported input pixel format '" + *pending->pixelFormat + "'");
    if (!pending->size) return Fail(error, "video input '" + path + "' needs -s");
    if (pending->sampleRate || pending->channels)
      return Fail(error, "audio options given for video input '" + path + "'");
    VideoInput video;
    video.path = path;
    video.width = pending->size->first;
    video.height = pending->size->second;
    video.frameRate = pending->frameRate.value_or(25);
    command->video = video;
  }
  *pending = PendingOptions{};
  return true;
}

}  // namespace

bool ParseFrameSize(const std::string& text, int* width, int* height) {
  for (const NamedSize& named : kNamedSizes) {
    if (text == named.name) {
      *width = named.width;
      *height = named.height;
      return true;
    }
  }
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  int w = 0;
  int h = 0;
  if (!ParseInt(text.substr(0, x), 2, kMaxSide, &w) || !ParseInt(text.substr(x + 1), 2, kMaxSide, &h))
    return false;
  // 4:2:2 input and 4:2:0 encoding both pair pixels, so odd sides have no exact layout.
  if (w % 2 != 0 || h % 2 != 0) return false;
  *width = w;
  *height = h;
  return true;
}

bool ParseStreamAddress(const std::string& text, OutputMode* mode, std::string* host,
                        uint16_t* port) {
  OutputMode m;
  if (text.rfind("lss://", 0) == 0) {
    m = OutputMode::LiveFlv;
  } else if (text.rfind("sls://", 0) == 0) {
    m = OutputMode::PacketStream;
  } else {
    return false;
  }
  const std::string rest = text.substr(6);
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string h = rest.substr(0, colon);
  in_addr addr{};
  if (inet_pton(AF_INET, h.c_str(), &addr) != 1) return false;
  int p = 0;
  if (!ParseInt(rest.substr(colon + 1), 1, 65535, &p)) return false;
  *mode = m;
  *host = h;
  *port = static_cast<uint16_t>(p);
  return true;
}

bool ParseConverterCommand(const std::vector<std::string>& args, ConverterCommand* command,
                           std::string* error) {
  ConverterCommand result;
  PendingOptions pending;
  std::optional<std::string> outputPath;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-y") {
      result.overwrite = true;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      if (outputPath) return Fail(error, "more than one output: '" + *outputPath + "' and '" + arg + "'");
      if (!result.video && !result.audio) return Fail(error, "output '" + arg + "' given before any input");
      outputPath = arg;
      continue;
    }
    if (i + 1 >= args.size()) return Fail(error, "option " + arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "-i") {
      if (outputPath) return Fail(error, "input '" + value + "' given after the output");
      if (!TakeInput(value, &pending, &result, error)) return false;
    } else if (arg == "-r") {
      int rate = 0;
      if (!ParseInt(value, 1, 120, &rate)) return Fail(error, "bad frame rate '" + value + "'");
      pending.frameRate = rate;
    } else if (arg == "-s") {
      int w = 0;
      int h = 0;
      if (!ParseFrameSize(value, &w, &h)) return Fail(error, "bad frame size '" + value + "'");
      pending.size = std::make_pair(w, h);
    } else if (arg == "-pix_fmt") {
      pending.pixelFormat = value;
    } else if (arg == "-ar") {
      int rate = 0;
      if (!ParseInt(value, 8000, 96000, &rate)) return Fail(error, "bad sample rate '" + value + "'");
      pending.sampleRate = rate;
    } else if (arg == "-ac") {
      int channels = 0;
      if (!ParseInt(value, 1, 2, &channels)) return Fail(error, "bad channel count '" + value + "'");
      pending.channels = channels;
    } else if (arg == "-f") {
      pending.format = value;
    } else if (arg == "-acodec") {
      // "libfaac" is what the callers ask for; the AAC encoder of the libraries serves it.
      if (value != "libfaac" && value != "aac") return Fail(error, "unsupported audio codec '" + value + "'");
      pending.audioCodec = value;
    } else if (arg == "-lss") {
      pending.address = value;
    } else {
      return Fail(error, "unknown option " + arg);
    }
  }

  if (!result.video && !result.audio) return Fail(error, "no input given");
  if (!outputPath) return Fail(error, "no output given");
  result.outputPath = *outputPath;

  // Whatever followed the last input belongs to the output.
  if (pending.pixelFormat && *pending.pixelFormat != "yuv420p" && *pending.pixelFormat != "yuvj420p")
    return Fail(error, "unsupported output pixel format '" + *pending.pixelFormat + "'");
  if (pending.format) return Fail(error, "output format option -f is not supported");
  if (pending.frameRate && result.video && *pending.frameRate != result.video->frameRate)
    return Fail(error, "output frame rate must match the input's");
  if (pending.size) {
    result.outWidth = pending.size->first;
    result.outHeight = pending.size->second;
  }
  result.outSampleRate = pending.sampleRate.value_or(0);
  result.outChannels = pending.channels.value_or(0);

  if (pending.address) {
    if (!ParseStreamAddress(*pending.address, &result.mode, &result.host, &result.port))
      return Fail(error, "bad stream address '" + *pending.address + "'");
  } else {
    result.mode = OutputMode::Snapshot;
    if (!result.video || result.audio) return Fail(error, "a snapshot takes exactly one video input");
    if (pending.audioCodec || pending.sampleRate || pending.channels)
      return Fail(error, "audio options given for a snapshot");
  }
  if (result.mode == OutputMode::PacketStream && !result.video)
    return Fail(error, "an sls stream needs a video input");
  if ((result.outSampleRate || result.outChannels || pending.audioCodec) && !result.audio)
    return Fail(error, "audio output options given without an audio input");

  *command = result;
  return true;
}

}  // namespace converter
