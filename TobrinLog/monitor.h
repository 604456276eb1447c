// The manager link: the ready byte, and the thread that ends the log server when the
// manager goes away (or, on Linux, a stop signal comes).
#pragma once

class LockedLogWriter;

/// How long the end waits for the write under way before it ends the process regardless. A
/// write of a whole batch (64 messages of 32 KiB) takes milliseconds even on a slow disk; one
/// that takes longer is stuck (a hung file system, a command that stopped reading), and a
/// manager that has gone, or a service manager that sent SIGTERM, waits for nobody that long.
inline constexpr int kEndWaitForWriteMilliseconds = 500;

/// Starts the detached thread that discards standard input and, at its end-of-file or a
/// failed read, ends the process with status 1; on Linux SIGTERM, SIGINT and SIGHUP end it
/// too, as that signal does. Either way it first waits, at most kEndWaitForWriteMilliseconds,
/// for the write under way in `writer`, and lets no other start, so that the output never ends
/// inside a message. False when the thread cannot be started.
bool StartMonitorThread(LockedLogWriter* writer);

/// Tells the manager that start-up has succeeded: the byte 0x01, raw, on standard error.
void WriteReadyByte();
