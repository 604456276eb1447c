// The manager link: the ready byte, and the thread that ends the log server when the
// manager goes away.
#pragma once

/// Starts the detached thread that discards standard input and ends the process with
/// status 1 at its end-of-file or a failed read. False when it cannot be started.
bool StartMonitorThread();

/// Tells the manager that start-up has succeeded: the byte 0x01, raw, on standard error.
void WriteReadyByte();
