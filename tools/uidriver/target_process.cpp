#include "target_process.h"

#include "win_text.h"

#include <vector>

namespace uidriver {

bool TargetProcess::start(const std::wstring& program, const std::wstring& folder, std::string& error) {
  job_ = Handle(CreateJobObjectW(nullptr, nullptr));
  if (!job_) {
    error = "cannot make a job object: " + describeError(GetLastError());
    return false;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    error = "cannot set the job's limits: " + describeError(GetLastError());
    return false;
  }

  // The program gets no standard handles: were it to write to the driver's
  // stdout, it would corrupt the answers.
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  std::wstring commandLine = L"\"" + program + L"\"";
  std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
  mutableCommandLine.push_back(L'\0');
  // Suspended until it is in the job, so nothing it starts escapes the job.
  // Under Wine a process start now and then fails with ERROR_INTERNAL_ERROR
  // while the Wine server is busy, and succeeds when tried again; any other
  // failure is the program's own and is reported at once.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(program.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &info))
      break;
    const DWORD failure = GetLastError();
    if (failure != ERROR_INTERNAL_ERROR || attempt == 3) {
      error = "cannot start " + toUtf8(program) + ": " + describeError(failure);
      return false;
    }
    Sleep(200);
  }
  process_ = Handle(info.hProcess);
  Handle thread(info.hThread);
  processId_ = info.dwProcessId;
  if (!AssignProcessToJobObject(job_.get(), process_.get())) {
    error = "cannot put the program into the job: " + describeError(GetLastError());
    TerminateProcess(process_.get(), 1);
    return false;
  }
  if (ResumeThread(thread.get()) == DWORD(-1)) {
    error = "cannot let the program run: " + describeError(GetLastError());
    TerminateProcess(process_.get(), 1);
    return false;
  }
  return true;
}

bool TargetProcess::running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

bool TargetProcess::exitCode(DWORD& code) const {
  if (!process_ || running()) return false;
  return GetExitCodeProcess(process_.get(), &code) != 0;
}

bool TargetProcess::waitForExit(DWORD milliseconds) const {
  return process_ && WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0;
}

void TargetProcess::end() {
  if (job_) TerminateJobObject(job_.get(), 1);
  waitForExit(5000);
  job_.reset();
}

} // namespace uidriver
