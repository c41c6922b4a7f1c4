// The Win32 side of the host's seam: a named pipe of one instance and a random name, open
// only to this user on this machine, whose one client is the child started here (its process
// id is checked); overlapped I/O, so that a read and a write run at once and Shutdown ends a
// wait; CreateProcess, TerminateProcess, LoadLibrary.
#include "device/oxbind/host/host_platform.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace kestrel::device::oxbind::host {
namespace {

std::string LastError(const char* what) {
  const DWORD code = GetLastError();
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof(text) - 1, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return std::string(what) + ": " + (s.empty() ? "error " + std::to_string(code) : s);
}

class PipeLink final : public Link {
 public:
  explicit PipeLink(HANDLE pipe)
      : pipe_(pipe),
        down_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        readDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        writeDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeLink() override {
    CloseHandle(pipe_);
    for (HANDLE h : {down_, readDone_, writeDone_}) {
      if (h != nullptr) CloseHandle(h);
    }
  }

  bool Write(const std::uint8_t* data, std::size_t size, int timeoutMs) override {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    while (size > 0) {
      if (stopped_.load()) return false;
      OVERLAPPED ov{};
      ov.hEvent = writeDone_;
      ResetEvent(writeDone_);
      const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
      DWORD n = 0;
      if (!WriteFile(pipe_, data, chunk, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
        return false;
      }
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      const HANDLE waits[2] = {writeDone_, down_};
      if (WaitForMultipleObjects(2, waits, FALSE, left) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &ov);
        GetOverlappedResult(pipe_, &ov, &n, TRUE);
        return false;
      }
      if (!GetOverlappedResult(pipe_, &ov, &n, FALSE) || n == 0) return false;
      data += n;
      size -= n;
    }
    return true;
  }

  std::size_t Read(std::uint8_t* buffer, std::size_t capacity) override {
    for (;;) {
      if (stopped_.load()) return 0;
      OVERLAPPED ov{};
      ov.hEvent = readDone_;
      ResetEvent(readDone_);
      const DWORD want = capacity > 65536 ? 65536 : static_cast<DWORD>(capacity);
      DWORD n = 0;
      if (!ReadFile(pipe_, buffer, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
        return 0;  // broken pipe: the other end has gone
      }
      const HANDLE waits[2] = {readDone_, down_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &ov);
        GetOverlappedResult(pipe_, &ov, &n, TRUE);
        return 0;
      }
      if (!GetOverlappedResult(pipe_, &ov, &n, FALSE)) return 0;
      if (n > 0) return n;
    }
  }

  void Shutdown() override {
    stopped_.store(true);
    SetEvent(down_);
  }

 private:
  HANDLE pipe_;
  HANDLE down_;
  HANDLE readDone_;
  HANDLE writeDone_;
  std::atomic<bool> stopped_{false};
};

// The child's command line, each argument quoted as the C runtime parses it back.
std::string Quoted(const std::string& arg) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string EndText(DWORD code) {
  char text[64];
  if (code >= 0xC0000000u) {
    std::snprintf(text, sizeof(text), "exception 0x%08lX", static_cast<unsigned long>(code));
  } else {
    std::snprintf(text, sizeof(text), "exit code %lu", static_cast<unsigned long>(code));
  }
  return text;
}

// A security descriptor whose list grants this process's user alone.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool got = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!got) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    ok_ = InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
          AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
          InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(&sd_, TRUE, acl, FALSE);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &sd_;
    attributes_.bInheritHandle = FALSE;
  }
  SECURITY_ATTRIBUTES* get() { return ok_ ? &attributes_ : nullptr; }

 private:
  std::vector<unsigned char> user_;
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR sd_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ok_ = false;
};

class Win32HostProcess final : public HostProcess {
 public:
  Win32HostProcess(PROCESS_INFORMATION pi, HANDLE pipe) : pi_(pi), link_(pipe) {}
  ~Win32HostProcess() override {
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
  }

  Link& link() override { return link_; }
  int ProcessId() const override { return static_cast<int>(pi_.dwProcessId); }
  void Kill() override {
    std::lock_guard lock(mutex_);
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 1);
  }
  bool Wait(int timeoutMs, std::string* how) override {
    if (WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
      return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    if (how != nullptr) *how = EndText(code);
    return true;
  }

 private:
  PROCESS_INFORMATION pi_;
  PipeLink link_;
  std::mutex mutex_;
};

class Win32Library final : public SharedLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  void* Symbol(const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }
  std::string PathOf(void* symbol) override {
    HMODULE m = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(symbol), &m)) {
      return {};
    }
    char path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameA(m, path, sizeof(path));
    return std::string(path, n);
  }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<HostProcess> HostProcess::Start(const std::string& program,
                                                const std::vector<std::string>& arguments,
                                                int timeoutMs, std::string* error) {
  std::random_device random;
  const std::string name = "\\\\.\\pipe\\kestrel-phone-host-" +
                           std::to_string(GetCurrentProcessId()) + "-" + std::to_string(random()) +
                           "-" + std::to_string(random());
  OwnerOnly security;
  const DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
  HANDLE pipe =
      CreateNamedPipeA(name.c_str(), open,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1, 65536, 65536, 0, security.get());
  if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
    // A system without the remote-client flag: the name is of this machine only anyway.
    pipe = CreateNamedPipeA(name.c_str(), open, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                            65536, 65536, 0, security.get());
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    *error = LastError("no pipe for the host");
    return nullptr;
  }
  OVERLAPPED connect{};
  connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const BOOL connecting = ConnectNamedPipe(pipe, &connect);
  const DWORD connectError = connecting ? ERROR_SUCCESS : GetLastError();

  std::string line = Quoted(program) + " " + ChannelOption() + " " + Quoted(name);
  for (const std::string& a : arguments) line += " " + Quoted(a);
  std::vector<char> mutableLine(line.begin(), line.end());
  mutableLine.push_back('\0');
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(program.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    *error = LastError(("cannot start " + program).c_str());
    CancelIoEx(pipe, &connect);
    CloseHandle(connect.hEvent);
    CloseHandle(pipe);
    return nullptr;
  }
  bool connected = connectError == ERROR_PIPE_CONNECTED || connectError == ERROR_SUCCESS;
  if (!connected && connectError == ERROR_IO_PENDING) {
    const HANDLE waits[2] = {connect.hEvent, pi.hProcess};
    const DWORD w = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeoutMs));
    DWORD n = 0;
    connected = w == WAIT_OBJECT_0 && GetOverlappedResult(pipe, &connect, &n, FALSE);
    if (!connected) {
      CancelIoEx(pipe, &connect);
      GetOverlappedResult(pipe, &connect, &n, TRUE);
    }
  }
  CloseHandle(connect.hEvent);
  ULONG client = 0;
  if (connected && GetNamedPipeClientProcessId(pipe, &client) && client != pi.dwProcessId) {
    connected = false;  // someone else took the pipe
  }
  if (!connected) {
    *error = "kestrel-phone-host did not connect to the station (" + program + ")";
    TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(pipe);
    return nullptr;
  }
  return std::make_unique<Win32HostProcess>(pi, pipe);
}

const char* ChannelOption() {
  return "--pipe";
}

std::unique_ptr<Link> OpenParentChannel(const std::string& value, std::string* error) {
  HANDLE pipe = CreateFileA(value.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    *error = LastError(("no channel at " + value).c_str());
    return nullptr;
  }
  return std::make_unique<PipeLink>(pipe);
}

void SetEnvironment(const std::string& name, const std::string& value, bool set) {
  SetEnvironmentVariableA(name.c_str(), set ? value.c_str() : nullptr);
}

void ExitNow(int code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) Sleep(INFINITE);
}

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& file, std::string* error) {
  HMODULE module = LoadLibraryA(file.c_str());
  if (module == nullptr) {
    *error = LastError(file.c_str());
    return nullptr;
  }
  return std::make_unique<Win32Library>(module);
}

}  // namespace kestrel::device::oxbind::host
