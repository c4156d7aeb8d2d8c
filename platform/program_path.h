#pragma once

// How a bound program's path is matched against the paths of the running programs
// (runningProgramPaths). Windows file names ignore letter case and take '/' and '\' alike,
// so there a binding written "c:/games/RUN.EXE" names the program that runs as
// C:\Games\run.exe; Linux file names are bytes, compared as they are.

#include <string>
#include <vector>

namespace kelv::platform {

// The form in which two program paths are compared: equal keys name the same program.
// Windows: UTF-8 with every '/' made '\' and the letters in upper case (Unicode simple case
// mapping, as the file system compares names). Linux: the path itself.
std::string programPathKey(const std::string &path);

// For each bound path, whether one of the running paths names the same program.
std::vector<bool> boundProgramsRunning(const std::vector<std::string> &bound,
                                       const std::vector<std::string> &running);

} // namespace kelv::platform
