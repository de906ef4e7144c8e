#pragma once
// The browser viewer's files: a GET of "/" or "/index.html" or of a file name is answered
// from one folder (web/ in the program directory). Only regular files inside that folder
// are served; a target with "..", with a character outside [A-Za-z0-9._-/], or that
// leads out of the folder through a link is not. Answers carry Content-Type and
// Content-Length and an ETag that the browser revalidates ("no-cache"), so an unchanged
// file costs a 304 and a replaced one is fetched anew.
//
// Reads files only; no socket. Any thread.
#include <string>
#include <string_view>

class CStaticFiles {
 public:
  enum class Result {
    kServed,       // *response holds a 200 with the file, or a 304
    kNotFound,     // no such file in the folder
    kRefused,      // the target is not a plain file name of the folder
  };

  // root: the folder, with or without a trailing "/".
  explicit CStaticFiles(std::string root);

  // The answer to the GET request text[0, length) (request line and headers).
  Result Respond(std::string_view request, std::string* response) const;

  // The path below the folder that a request target names ("" for "/" gives
  // "index.html"); false when the target is refused. Pure.
  static bool FileNameOf(std::string_view target, std::string* name);
  static const char* ContentTypeOf(std::string_view name);

 private:
  std::string m_root;
};
