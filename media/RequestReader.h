#pragma once
// How far the first request in received text reaches, so that the camera HTTP server
// answers a request only once it is whole and never reads one slice by slice. Pure: bytes
// in, result out.
//
// A request is whole at its blank line ("\r\n\r\n"); a POST also needs the body that its
// Content-Length announces. A POST without Content-Length takes all the text behind its
// blank line as its body.

#include <string_view>

// True when text begins with lowerPrefix (lower case), compared without regard to case.
bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix);

// The first header line of the request named lowerName (lower case, without the colon),
// up to the blank line; its value trimmed of blanks and tabs. False when absent.
bool FindRequestHeader(std::string_view request, std::string_view lowerName, std::string_view* value);

struct RequestExtent {
  enum Kind {
    kIncomplete,  // a beginning of a GET or POST: wait for more
    kComplete,    // length bytes form the request
    kTooLarge,    // cannot become whole within capacity bytes
    kMalformed,   // a POST whose Content-Length is not a decimal number
    kNotHttp,     // neither GET nor POST: drop the text
  };
  Kind kind = kIncomplete;
  int length = 0;
  bool hasContentLength = false;
};

// text[0, length) is what is buffered; capacity is the most the buffer can hold.
RequestExtent MeasureRequest(const char* text, int length, int capacity);
