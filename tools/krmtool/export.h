#pragma once
// `krmtool export`: writes part of a recording into a new file.

#include <string>
#include <vector>

namespace vidora {

// The arguments after "export"; returns the exit code.
int exportCommand(const std::vector<std::string>& args);

}  // namespace vidora
