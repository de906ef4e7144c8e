// The converter program the stream convertors start (installed as "ffmpeg" in the program
// directory). See StreamConverter.h for the streaming contract and SnapshotConverter.h for
// the one-shot snapshot.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "converter/ConverterCommand.h"
#include "converter/SnapshotConverter.h"
#include "converter/StreamConverter.h"

namespace {

// Tests shorten the wait for input with VT_CONVERTER_IDLE_MS; it bounds both waits.
converter::StreamLimits LimitsFromEnvironment() {
  converter::StreamLimits limits;
  if (const char* text = getenv("VT_CONVERTER_IDLE_MS")) {
    const long ms = strtol(text, nullptr, 10);
    if (ms > 0 && ms < 3600000) {
      limits.firstInputMs = static_cast<int>(ms);
      limits.idleMs = static_cast<int>(ms);
    }
  }
  return limits;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  av_log_set_level(AV_LOG_ERROR);

  const std::vector<std::string> args(argv + 1, argv + argc);
  converter::ConverterCommand command;
  std::string error;
  if (!converter::ParseConverterCommand(args, &command, &error)) {
    fprintf(stderr, "converter: %s\n", error.c_str());
    return 2;
  }
  if (command.mode == converter::OutputMode::Snapshot) {
    if (!converter::ConvertSnapshot(command, &error)) {
      fprintf(stderr, "converter: snapshot: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  converter::CStreamConverter stream(command, LimitsFromEnvironment());
  return stream.Run();
}
