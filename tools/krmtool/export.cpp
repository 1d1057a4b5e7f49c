// Placeholder until the export command is built.
#include "tools/krmtool/export.h"

#include "tools/krmtool/commands.h"

namespace vidora {

int exportCommand(const std::vector<std::string>&) {
    return complain(kExitUsage, "export: not built");
}

}  // namespace vidora
