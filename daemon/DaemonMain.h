#pragma once
#include <string>

#include "CommandLine.h"
#include "DaemonSettings.h"

namespace vexa::daemon {

// Acts on a service word, or merges configuration file and options and runs
// the daemon. Returns the process exit status.
int daemonMain(const Words& words);

// The exit status for a result of RunDaemon: its low 8 bits, as the system
// would keep them, except that a failure whose low 8 bits are 0 (a missing
// certificate file is -0x3E00) gives 1 instead of a status of success.
int exitStatus(int result);

// Writes the version line and the usage text to standard output.
void PrintUsage();

// Starts the transport the settings select: "unix" serves every token on its
// own socket and never returns; anything else serves one token over TLS and
// returns only when its set-up fails, with the failing call's result. An
// empty clientCaFile lets TLS clients in without a certificate.
int RunDaemon(const DaemonSettings& settings, const std::string& serial, const std::string& certFile,
              const std::string& caFile, const std::string& keyFile, const std::string& bindAddress,
              const std::string& port, const std::string& clientCaFile);

}  // namespace vexa::daemon
