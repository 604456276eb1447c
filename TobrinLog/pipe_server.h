// The accept loop and the client threads of the log pipe.
#pragma once

class LockedLogWriter;

/// Offers the pipe named by the writer's pipe name to one client at a time and gives each
/// connected client its own LogThread, which hands every message to `writer`. Returns only
/// when an instance or a thread cannot be created, after printing the message.
void ServePipe(LockedLogWriter* writer);

/// True once ServePipe has started a client thread; such a thread may still be running.
bool ClientThreadsStarted();
