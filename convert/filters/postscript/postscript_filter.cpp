#include "convert/filters/postscript/postscript_filter.h"

#include <ghostscript/iapi.h>
#include <ghostscript/ierrors.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "convert/filters/members.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Ghostscript's messages are kept up to this many bytes: enough for the
// error report, which comes first.
constexpr std::size_t kMaxOutput = 64 * 1024;

struct Output {
  std::string text;
};

int NoInput(void*, char*, int) { return 0; }

int Collect(void* handle, const char* bytes, int len) {
  auto* out = static_cast<Output*>(handle);
  if (len > 0 && out->text.size() < kMaxOutput)
    out->text.append(bytes, std::min<std::size_t>(static_cast<std::size_t>(len), kMaxOutput - out->text.size()));
  return len;
}

// One Ghostscript instance, deleted on every path.
class Instance {
 public:
  explicit Instance(Output* out) {
    if (gsapi_new_instance(&gs_, out) < 0) gs_ = nullptr;
    if (gs_) gsapi_set_stdio(gs_, NoInput, Collect, Collect);
  }
  ~Instance() {
    if (!gs_) return;
    if (initialised_) gsapi_exit(gs_);
    gsapi_delete_instance(gs_);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  bool ok() const { return gs_ != nullptr; }
  // Runs Ghostscript with args; its code, 0 when the program ran to its end.
  int Run(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    int code = gsapi_init_with_args(gs_, static_cast<int>(argv.size()), argv.data());
    initialised_ = true;
    // Closing the device writes the pages made before an error.
    const int exit_code = gsapi_exit(gs_);
    initialised_ = false;
    if (code == gs_error_Quit) code = 0;
    return code < 0 ? code : exit_code;
  }

 private:
  void* gs_ = nullptr;
  bool initialised_ = false;
};

// Ghostscript takes '%' in an output name as the start of a page number's
// format.
std::string OutputFileArgument(const std::string& path) {
  std::string arg = "-sOutputFile=";
  for (char c : path) {
    if (c == '%') arg += '%';
    arg += c;
  }
  return arg;
}

// An EPS picture (a DOS EPS header, or "EPSF-" on the first line), whose
// page is cut to its bounding box; head: the file's first bytes.
bool IsEps(std::string_view head) {
  if (head.substr(0, 4) == "\xC5\xD0\xD3\xC6") return true;
  return head.substr(0, head.find_first_of("\r\n")).find(" EPSF-") != std::string_view::npos;
}

class PostScriptFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    char head[4096];
    ssize_t n = -1;
    if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      n = ::pread(fd, head, sizeof head, 0);
      ::close(fd);
    }
    if (n < 0) return ExtractResult::Failed("cannot open the PostScript file");
    const std::string_view first(head, static_cast<std::size_t>(n));
    if (!LooksLikePostScript(first)) {
      if (auto redirected = ExtractRedirected(path, "postscript", sink)) return *redirected;
      return ExtractResult::UnknownFormat("the file does not start as a PostScript program");
    }

    PrivateFolder folder;
    std::string error;
    const std::string pdf = folder.NewPath("printed.pdf", &error);
    if (pdf.empty()) return ExtractResult::Failed(error);

    Output output;
    int code = 0;
    {
      // Ghostscript keeps state of its own between instances: one program
      // runs at a time in a process.
      static std::mutex* lock = new std::mutex;
      std::lock_guard<std::mutex> hold(*lock);
      Instance gs(&output);
      if (!gs.ok()) return ExtractResult::Failed("Ghostscript cannot start");
      // SAFER: the program runs no command and touches no file but its
      // input, its output and Ghostscript's temporary folder (in the
      // converter a private one, and the converter's confinement and its
      // limit on the size of files bound it further); no prompt, no
      // window, pages as they are drawn.
      std::vector<std::string> args = {"quarn", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT",
                                       "-sDEVICE=pdfwrite", "-dAutoRotatePages=/None", OutputFileArgument(pdf)};
      if (IsEps(first)) args.push_back("-dEPSCrop");
      args.push_back("-f");
      args.push_back(path);
      code = gs.Run(args);
    }

    const std::string problem = code < 0 ? PostScriptError(output.text) : std::string();
    TextSink member = MemberSink(sink);
    ExtractResult result = ::access(pdf.c_str(), R_OK) == 0 ? ExtractMember(pdf, member)
                                                            : ExtractResult::Failed("Ghostscript printed no page");
    AppendMemberText(member, sink);
    if (member.pages() >= 0) sink.set_pages(member.pages());
    if (code >= 0) {
      if (!result.ok()) result.reason = "printed to PDF, " + result.reason;
      return result;
    }
    const std::string why = "the PostScript program stopped at an error" + (problem.empty() ? std::string() : " (" + problem + ")");
    if (!member.empty() && (result.ok() || result.status == ExtractResult::Status::kIncomplete))
      return ExtractResult::Incomplete(why + "; the pages before it were read");
    return ExtractResult::Failed(why);
  }
};

}  // namespace

std::string PostScriptError(std::string_view output) {
  const std::size_t at = output.find("Error: ");
  if (at == std::string_view::npos) return {};
  std::string_view line = output.substr(at + 7);
  line = line.substr(0, line.find_first_of("\r\n"));
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  std::string clean;
  for (char c : line.substr(0, 200)) clean += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  return clean;
}

std::unique_ptr<BuiltinFilter> CreatePostScriptFilter() { return std::make_unique<PostScriptFilter>(); }

}  // namespace quarn
