// Every fixed text that the log server prints or writes into its log. Managers and users
// read these byte for byte. Names ending in Format are printf formats.
#pragma once

/// The usage text; both conversions take the program's name.
inline constexpr char kUsageFormat[] =
    "Usage:\n%s --input=pipename --output=<|prog ...>\nor\n%s --input=pipename "
    "--output=logfile [--filesize=sizeBytes --numbackups=n]\n";

// The command line; each %s is the whole argument as given.

/// Windows: an argument cannot be made UTF-8 (a lone surrogate) or memory ran out; %d is the
/// system's code.
inline constexpr char kCannotReadArgumentsFormat[] =
    "LogServer: cannot read the command line (err=%d)\n";

/// An argument that does not start with "--".
inline constexpr char kInvalidArgumentFormat[] = "LogServer: invalid argument (%s)\n";
/// An option that is not known.
inline constexpr char kUnknownOptionFormat[] = "invalid argument (%s)\n";
inline constexpr char kNumBackupsTooSmallFormat[] =
    "LogServer: numbackups (%s) must have a value greater than 1\n";
inline constexpr char kFileSizeTooSmallFormat[] =
    "LogServer: filesize (%s) must have a value greater than 0\n";
inline constexpr char kNoPipeName[] = "LogServer: --input=pipename must be specified\n";
inline constexpr char kNoCommand[] = "LogServer: --output=| missing cmds\n";
inline constexpr char kNoLogFile[] = "LogServer: --output=logfile must be specified\n";
/// %s: the setter that could not copy its text.
inline constexpr char kOutOfMemoryFormat[] =
    "LogServer: out of memory when allocating memory for %s\n";

// The output, on standard error; %s is the command or the log file, %d the system's code.

inline constexpr char kCommandStartFailedFormat[] = "LogServer: failed to open pipe (%s). err=%d\n";
/// The command stopped reading its standard input (it has ended) and is started again.
inline constexpr char kCommandRestartFormat[] =
    "LogServer: command (%s) has ended; starting it again\n";
inline constexpr char kCannotOpenLogFormat[] =
    "LogServer: cannot open log file(%s) for write (err=%d)\n";
/// Another server holds the lock on the log file, or rotated it away as this one opened it.
inline constexpr char kLogLockedFormat[] = "LogServer: log file(%s) is locked by another server\n";
/// A write found the disk or the quota full: the messages are held and tried again.
inline constexpr char kWritingPausedFormat[] =
    "LogServer: no room for log file(%s) (err=%d); writing paused until there is room\n";
/// A held write went through; only %s.
inline constexpr char kWritingResumedFormat[] =
    "LogServer: room again for log file(%s); writing resumed\n";

// Rotation: the first on standard output, the others written into the log itself.

inline constexpr char kCannotGetFileInfo[] =
    "LogServer: cannot get fileinfo.  Logfile rotation will delay\n";
inline constexpr char kCloseFailedNote[] =
    "LogServer: CloseHandle failed -- cannot perform logfile rotation\r\n";
/// The failed-rename note is these, with the log's name and the backup's name between.
inline constexpr char kRenameFailedNoteStart[] = "Could not rename ";
inline constexpr char kRenameFailedNoteMiddle[] = " to ";
inline constexpr char kRenameFailedNoteEnd[] = ", log rotation failed\r\n";

// The pipe and the client threads, on standard output.

inline constexpr char kReadFileFailed[] = "LogThread: ReadFile failed\n";
inline constexpr char kWriteAllFailed[] = "LogThread: WriteAll failed\n";
inline constexpr char kCreatePipeFailed[] = "CreatePipe failed\n";
/// Without a line end, as it has always been.
inline constexpr char kCreateThreadFailed[] = "CreateThread failed";
/// %u: how many lines were dropped.
inline constexpr char kLinesDroppedFormat[] =
    "LogServer: %u lines dropped while standard output was full\n";
/// The same for the lines of standard error, on standard error.
inline constexpr char kErrorLinesDroppedFormat[] =
    "LogServer: %u lines dropped while standard error was full\n";

// The link to the manager, on standard error.

inline constexpr char kCreateMonitorFailed[] = "CreateMonitor Thread failed\n";
inline constexpr char kNoStdinHandle[] = "Failed to get stdin handle\n";
inline constexpr char kManagerExit[] = "Terminating due to manager exit\n";
