// libetonyek asks liblangtag for the likely full form of every language tag
// it meets in a document's styles (lt_tag_transform: "en" -> "en-Latn-US").
// liblangtag answers each call with an XPath search through CLDR's whole
// table of likely subtags, up to four times over: about a millisecond a
// call, and more than half the time of a small Pages document.  The answer
// depends on the tag alone, so this module answers again, from a table, what
// was asked before in the process.  A symbol of this module comes before
// liblangtag's in libetonyek's lookup scope (the module is the root of the
// group loaded with libetonyek), so libetonyek's calls come here; the first
// asking of each tag goes on to liblangtag.
#include <dlfcn.h>
#include <liblangtag/langtag.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

using Transform = char* (*)(lt_tag_t*, lt_error_t**);

// A document of ten thousand made-up tags must not grow the table without
// end: past this many, tags are asked of liblangtag each time.
constexpr std::size_t kMostRemembered = 1024;

struct Answers {
  std::mutex lock;
  std::unordered_map<std::string, std::string> by_tag;
};

Answers& Remembered() {
  static Answers answers;
  return answers;
}

Transform LiblangtagTransform() {
  static const Transform real = reinterpret_cast<Transform>(::dlsym(RTLD_NEXT, "lt_tag_transform"));
  return real;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) char* lt_tag_transform(lt_tag_t* tag, lt_error_t** error) {
  const Transform real = LiblangtagTransform();
  if (!real) return nullptr;
  const char* name = tag ? lt_tag_get_string(tag) : nullptr;
  if (!name) return real(tag, error);
  const std::string key(name);
  Answers& answers = Remembered();
  {
    std::lock_guard hold(answers.lock);
    if (const auto it = answers.by_tag.find(key); it != answers.by_tag.end()) return ::strdup(it->second.c_str());
  }
  // A tag liblangtag cannot transform is asked again each time, so that the
  // caller gets liblangtag's own error.
  char* answer = real(tag, error);
  if (answer) {
    std::lock_guard hold(answers.lock);
    if (answers.by_tag.size() < kMostRemembered) answers.by_tag.emplace(key, answer);
  }
  return answer;
}
