#pragma once
// Where the program's config.ini is: the logger reads its "Log" section from it, the
// camera HTTP server its "Http" section.
#include <string>

// The first of <exeDir>/config.ini, ./config.ini and ../config.ini that can be opened;
// otherwise the bare "config.ini", which the profile reader looks up in the system
// profile folder. exeDir has no trailing "/".
std::string FindConfigIni(const std::string& exeDir);
