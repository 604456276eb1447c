// The standard streams of a tool that is started without some of them.
#pragma once

#include "platform/error.h"

namespace platform {

/// Puts the null device in place of each of standard input, output and error that the
/// process was started without, so that nothing opened later takes its place (Linux gives a
/// new descriptor the lowest free number: a socket opened later would become standard input
/// or error) and a missing standard input reads as empty. Call before anything else is
/// opened. False when the null device cannot be opened.
bool HoldStandardStreams(std::error_code* error = nullptr);

}  // namespace platform
