#include "DaemonMain.h"

int main(int argc, char** argv)
{
    vexa::daemon::Words words;
    for (int i = 1; i < argc; ++i) {
        words.emplace_back(argv[i]);
    }
    return vexa::daemon::daemonMain(words);
}
