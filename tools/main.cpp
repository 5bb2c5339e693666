#include <iostream>

#include "ToolMain.h"

int main(int argc, char** argv)
{
    return vexa::tool::runTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
