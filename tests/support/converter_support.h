// Helpers for the tests of the converter processes: a registry folder that
// gives documents named *.qs to the scripted test plug-in, and a look at the
// processes that carry a test's tag in their environment.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quarn::testing {

// Writes data_dir/quarn/registry/scripted.reg, so that a program started with
// XDG_DATA_DIRS=data_dir reads *.qs documents with the scripted plug-in.
inline void WriteScriptedRegistry(const std::string& data_dir, const std::string& plugin) {
  const std::filesystem::path folder = std::filesystem::path(data_dir) / "quarn" / "registry";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "scripted.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.qs\\PersistentHandler]\n"
         "@=\"{5155524E-7E57-4000-8000-0000000000A1}\"\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-0000000000A1}\\"
         "PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}]\n"
         "@=\"{5155524E-7E57-4000-8000-000000000001}\"\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-000000000001}\\InprocServer32]\n"
         "@=\""
      << plugin << "\"\n";
}

// The processes (other than this one) whose environment holds `setting`
// ("NAME=VALUE"): a program started with a unique setting and every process
// it started.
inline std::vector<pid_t> ProcessesWith(const std::string& setting) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (const dirent* e = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == ::getpid()) continue;
    std::ifstream in("/proc/" + std::string(e->d_name) + "/environ", std::ios::binary);
    const std::string env((std::istreambuf_iterator<char>(in)), {});
    for (std::size_t at = 0; at < env.size();) {
      const std::size_t end_at = env.find('\0', at);
      const std::size_t stop = end_at == std::string::npos ? env.size() : end_at;
      if (env.compare(at, stop - at, setting) == 0) {
        found.push_back(static_cast<pid_t>(pid));
        break;
      }
      at = stop + 1;
    }
  }
  ::closedir(proc);
  return found;
}

// Whether a process still exists (a zombie counts: it was not reaped).
inline bool ProcessExists(pid_t pid) { return pid > 0 && std::filesystem::exists("/proc/" + std::to_string(pid)); }

}  // namespace quarn::testing
