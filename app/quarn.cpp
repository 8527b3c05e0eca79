// The program's entry: one file converts beside itself, two write to the second.
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/main.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args;
  for (int i = 1; i < argc && argv[i][0] != '\0'; ++i) args.emplace_back(argv[i]);
  if (args.size() != 1 && args.size() != 2) {
    std::fprintf(stderr, "quarn: the window is not available in this build\n");
    return 2;
  }
  quarn::InstallRegistry(quarn::Registry::LoadStandard());
  quarn::ConvertResult r = quarn::ConvertFile(args[0], args.size() == 2 ? args[1] : std::string());
  switch (r.outcome) {
    case quarn::Outcome::kWritten:
      if (!r.reason.empty()) std::fprintf(stderr, "quarn: %s: %s\n", args[0].c_str(), r.reason.c_str());
      return 0;
    case quarn::Outcome::kSameFile:
      std::fprintf(stderr, "quarn: %s: %s; nothing written\n", args[0].c_str(), r.reason.c_str());
      return 0;
    case quarn::Outcome::kNoText:
      std::fprintf(stderr, "quarn: %s: no text: %s\n", args[0].c_str(), r.reason.c_str());
      return 3;
    case quarn::Outcome::kFailed:
      break;
  }
  std::fprintf(stderr, "quarn: %s\n", r.reason.c_str());
  return 1;
}
