#pragma once
// The program's command line as UTF-8 strings. On Linux that is argv as it is; on Windows argv
// holds the arguments in the ANSI code page, which cannot spell every file name, so they are
// read again from the wide-character command line.

#include <string>
#include <vector>

namespace vidora {

// Every argument including the program's name at index 0, as in argv: code that walked argv
// from 1 walks the result from 1. `argc` and `argv` are main's.
std::vector<std::string> commandLineArguments(int argc, char** argv);

}  // namespace vidora
