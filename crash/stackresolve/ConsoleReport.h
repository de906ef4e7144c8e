#pragma once
// Console mode's two inputs: "modules.ini" (one module per line) and "stack.ini" (stack
// words), turned into the lines printed for every word inside a module. Pure: text in,
// text out. Used by stackresolve's console mode and its tests; single-threaded.
#include <string>
#include <string_view>
#include <vector>

#include "crash/stackresolve/ModuleRange.h"

namespace stackresolve {

// Two layouts are accepted:
//   "name<TAB>start end<TAB>..."             the address field lies between the two tabs;
//   "Loaded:  start end   C:\path\name.dll"  nine fixed characters, then the addresses;
//                                            the name is "  " and the file name part.
// The addresses are separated by one character (a blank or a hyphen). Whatever cannot be
// read stays 0, so a malformed line gives the range 0 to 0 rather than being dropped.
ModuleRange ParseModulesIniLine(std::string_view line);

// The "%s [%08x-%08x] - 0x%08x\n" lines for one stack.ini line: every token of exactly
// eight characters, once per module holding its value. "0x" tokens keep their length but
// convert to 0.
std::string ReportStackIniLine(std::string_view line, const std::vector<ModuleRange>& modules);

}  // namespace stackresolve
