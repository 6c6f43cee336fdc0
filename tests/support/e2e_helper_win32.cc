// What the end-to-end tests need done inside Wine, where the Linux test
// program can't reach:
//   hide PATH   sets the hidden attribute and fails unless it was kept;
//   run EXE     starts EXE with exactly the command line held in the
//               variable TABULON_E2E_COMMAND_LINE (Wine would build one of its
//               own from separate arguments) and returns its exit code.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

int Hide(const std::wstring& path) {
  const DWORD before = GetFileAttributesW(path.c_str());
  if (before == INVALID_FILE_ATTRIBUTES) return 1;
  if (!SetFileAttributesW(path.c_str(), before | FILE_ATTRIBUTE_HIDDEN)) {
    return 1;
  }
  const DWORD after = GetFileAttributesW(path.c_str());
  return after != INVALID_FILE_ATTRIBUTES &&
                 (after & FILE_ATTRIBUTE_HIDDEN) != 0
             ? 0
             : 3;
}

int Run(const std::wstring& exe) {
  const DWORD size =
      GetEnvironmentVariableW(L"TABULON_E2E_COMMAND_LINE", nullptr, 0);
  if (size == 0) return 125;
  std::wstring line(size, L'\0');
  line.resize(GetEnvironmentVariableW(L"TABULON_E2E_COMMAND_LINE", line.data(),
                                      size));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // Under a loaded Wine a start fails now and then, with no process made
  // and nothing of the test's to blame: tried again a few times, and when
  // it never starts, the system's reason is told.
  PROCESS_INFORMATION process;
  for (int attempt = 0;; ++attempt) {
    if (CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                       nullptr, nullptr, &startup, &process)) {
      break;
    }
    const DWORD error = GetLastError();
    if (attempt == 4) {
      std::fprintf(stderr, "e2e_helper: cannot start the program: error %lu\n",
                   static_cast<unsigned long>(error));
      return 126;
    }
    Sleep(200);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 127;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr || count != 3) {
    std::fputs("usage: e2e_helper hide PATH | run EXE\n", stderr);
    return 2;
  }
  const std::wstring command = args[1];
  if (command == L"hide") return Hide(args[2]);
  if (command == L"run") return Run(args[2]);
  return 2;
}
