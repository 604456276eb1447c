// The accept loop and the client threads of the log pipe.
#pragma once

class LockedLogWriter;

/// How long the accept loop pauses after a client's thread, or a later instance of the pipe,
/// could not be created, before it offers the next instance.
inline constexpr int kResourcePauseMilliseconds = 10;

/// Offers the pipe named by the writer's pipe name to one client at a time and gives each
/// connected client its own LogThread, which hands every message to `writer`. A client whose
/// thread cannot be created is turned away, after the message, and so is the moment when a
/// later instance cannot be created. Returns only when the first instance cannot be created
/// (the name is held), after printing the message.
void ServePipe(LockedLogWriter* writer);
