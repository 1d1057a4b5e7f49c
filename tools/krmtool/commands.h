#pragma once
// krmtool's commands; each takes the arguments after its name and returns the exit code.

#include <string>
#include <vector>

namespace vidora {

// Exit codes shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFileProblem = 1;  // a file that cannot be read, or is not (wholly) valid
constexpr int kExitUsage = 2;

int infoCommand(const std::vector<std::string>& args);
int checkCommand(const std::vector<std::string>& args);
// `thumbnail [-s SIZE] FILE OUT.png`: a PNG picture from a few seconds in, its longer side SIZE
// pixels (256 by default). OUT is written whole or not at all.
int thumbnailCommand(const std::vector<std::string>& args);

// Says `message` as krmtool's one line on standard error and returns `code`.
int complain(int code, const std::string& message);

}  // namespace vidora
