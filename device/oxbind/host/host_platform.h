// What the phone-library host and its proxy need of the operating system beyond the phone
// library's own seam (device/oxbind/platform): a private channel between the station's process
// and its host process, starting and ending that process, and loading a library into it.
// posix_host_platform.cpp and win32_host_platform.cpp are its two sides.
//
// The channel is the station's alone: on POSIX a socket pair whose other end only the child
// inherits; on Win32 a named pipe of one instance, of a random name, open only to this user
// and this machine, whose one client must be the child the station started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::device::oxbind::host {

// One end of the channel: a connected local byte stream. Write and Read may run at once on
// two threads; Shutdown from any thread.
class Link {
 public:
  virtual ~Link() = default;
  // Writes every byte within timeoutMs: false when the channel is broken or the other end did
  // not take the bytes in time. Writes from several threads must be serialised by the caller.
  virtual bool Write(const std::uint8_t* data, std::size_t size, int timeoutMs) = 0;
  // Waits without bound for bytes: the number read (> 0), or 0 once the channel has ended
  // (the other end closed, or Shutdown).
  virtual std::size_t Read(std::uint8_t* buffer, std::size_t capacity) = 0;
  // Ends the channel at this end: a Read waiting on another thread returns 0, and so does
  // every later Read; writes fail.
  virtual void Shutdown() = 0;
};

// The host process, as the process that started it sees it.
class HostProcess {
 public:
  // Starts `program` with the channel's option for its end (ChannelOption() and its value)
  // followed by `arguments`, in this process's environment and current folder; waits up to
  // timeoutMs for the channel to connect (Win32). Null with *error when it cannot start.
  static std::unique_ptr<HostProcess> Start(const std::string& program,
                                            const std::vector<std::string>& arguments,
                                            int timeoutMs, std::string* error);
  virtual ~HostProcess() = default;  // closes this end; does not end the process

  virtual Link& link() = 0;
  virtual int ProcessId() const = 0;
  // Ends the process by force (SIGKILL, TerminateProcess) unless it has already ended.
  virtual void Kill() = 0;
  // Waits up to timeoutMs for the process to end: true with how it ended ("exit code 3",
  // "signal 6 (SIGABRT)", "exception 0xC0000005"); false while it runs.
  virtual bool Wait(int timeoutMs, std::string* how) = 0;
};

// The option naming the child's end of the channel on its command line ("--fd", "--pipe").
const char* ChannelOption();
// In the host: its end of the channel, as named by the option's value. Null with *error.
std::unique_ptr<Link> OpenParentChannel(const std::string& value, std::string* error);
// In the host: sets (or, with set false, removes) an environment variable of the process.
void SetEnvironment(const std::string& name, const std::string& value, bool set);
// In the host: ends the process at once with `code`, without running destructors or waiting
// for threads still inside the library.
[[noreturn]] void ExitNow(int code);

// A shared library loaded by the host: dlopen/LoadLibrary, never unloaded.
class SharedLibrary {
 public:
  // Null with *error (the system loader's own words) when the file cannot be loaded. A name
  // without a folder is searched for as the system's loader searches.
  static std::unique_ptr<SharedLibrary> Load(const std::string& file, std::string* error);
  virtual ~SharedLibrary() = default;  // leaves the library loaded
  // The exported symbol, or null.
  virtual void* Symbol(const char* name) = 0;
  // The absolute path of the file that holds `symbol` (the one the loader took).
  virtual std::string PathOf(void* symbol) = 0;
};

}  // namespace kestrel::device::oxbind::host
