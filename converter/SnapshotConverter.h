#pragma once
// The one-shot snapshot: one raw YUYV frame file (exactly the frame's bytes, no header)
// into a JPEG file, at the input size or at the output size asked for.
//
// Runs on the converter's main thread; no sockets.
#include <string>

#include "converter/ConverterCommand.h"

namespace converter {

// The picture is written to a side file and renamed into place, so a reader never sees a
// half-written JPEG. False with the reason in error; an existing output is kept unless
// the command says overwrite ("-y").
bool ConvertSnapshot(const ConverterCommand& command, std::string* error);

}  // namespace converter
