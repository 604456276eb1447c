// How the tools report their own failures.
#pragma once

#include <string>
#include <system_error>

/// Prints "<tool>: cannot <action>: <the system's text> (<its code>)" on standard error, e.g.
/// "tobrin-pipe-client: cannot connect to /tmp/x.sock: No such file or directory (2)".
void PrintFailure(const char* tool, const std::string& action, const std::error_code& error);
