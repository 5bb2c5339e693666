#pragma once
// vexa-tool against a simulated token behind the real daemon (Unix socket),
// run from the deployment's working directory where its vexaconfig.json is.
#include <string>
#include <vector>

#include "ToolsEndToEnd.h"

namespace vexa::test {

// Runs vexa-tool ARGS; `environment` holds NAME=value words put before it.
inline RunResult runTool(ToolsDeployment& deployment, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {})
{
    std::vector<std::string> argv{"env"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(VEXA_TOOL);
    argv.insert(argv.end(), args.begin(), args.end());
    return deployment.runOurs(argv);
}

// The deployment's working directory.
inline std::string workDirectory(const ToolsDeployment& deployment)
{
    const std::string marker = deployment.file("x");
    return marker.substr(0, marker.size() - 2);
}

}  // namespace vexa::test
