#pragma once
// The text of a received request as the log shows it: bounded, so no client floods the
// log; escaped, so no client writes a line of its own into it; and with secrets masked.
#include <string>

constexpr int kRequestLogBytes = 512;

// The first kRequestLogBytes of text[0, length), with the values of parameters whose name
// holds "pass" (any case) and of an Authorization header replaced by "***", and every byte
// below 0x20, from 0x7F up, and the backslash written as an escape ("\r", "\n", "\t",
// "\\", "\xNN"). The result is printable ASCII.
std::string RequestLogText(const char* text, int length);
