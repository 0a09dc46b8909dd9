// --help and --version of the programs. Both print to standard output and
// end the program with status 0, before the banner and before anything else
// is read. The version is the project's, set by the build.
#pragma once

namespace selftest {

// The project's version ("0.5.0").
const char* ProgramVersion();

// What --help of the program prints; null for an unknown program.
const char* ProgramHelpText(const char* program);

// True when an argument is --help, -h or --version, after printing the help
// or "PROGRAM VERSION"; the caller then returns 0. Any other argument list
// is left alone (a wrong count keeps the program's own usage line).
bool PrintProgramInfo(int argc, char** argv, const char* program);

}  // namespace selftest
