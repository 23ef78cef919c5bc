// Process facts and signals the relay needs from the operating system.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Folder of the running executable (from /proc/self/exe), with a trailing '/'.
std::string ExecutableFolder();
// Absolute path of the running executable.
std::string ExecutablePath();
// Delivers SIGINT, SIGTERM and SIGHUP as calls of fn(signal name) on the control thread.
// The process then ignores SIGPIPE (a closed socket is reported by its send, not by a signal).
void CatchStopSignals(std::function<void(const std::string& sSignal)> fn);
// A closed pipe or socket is reported by the write that meets it, never by a signal that would end
// the process (a journal's stderr pipe closing must not kill a service).
void IgnoreBrokenPipe();
// True when the given standard stream is a terminal (0 in, 1 out, 2 err).
bool IsTerminal(int nStream);
// Opens sPath for appending, creating it with mode 0640 (the owner writes, the group reads, no one
// else): log files name clients, extensions and addresses. Null with errno set on failure.
std::FILE* OpenForAppendGroupReadable(const std::string& sPath);
