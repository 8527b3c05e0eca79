// What one conversion did, as reported to the command line and the workers.
// A result starts out failed and says why; only a written file is success.
#pragma once

#include <string>

namespace quarn {

enum class Outcome {
  kFailed,    // something went wrong: the input could not be read, the output not written
  kWritten,   // the text file was written (reason non-empty: the text is incomplete, and why)
  kNoText,    // no text could be extracted; nothing was written
  kSameFile,  // the output path is the input itself: the document is its own text
};

struct ConvertResult {
  Outcome outcome = Outcome::kFailed;
  std::string reason = "not converted";
  // Pages or pictures of a written document whose text was read by OCR.
  unsigned recognized_pages = 0;
  // Given up because its run was asked to stop: the document is left as it
  // was, and the run counts it neither as done nor as failed.
  bool abandoned = false;

  static ConvertResult Written(std::string note = {}) { return {Outcome::kWritten, std::move(note)}; }
  static ConvertResult NoText(std::string why) { return {Outcome::kNoText, std::move(why)}; }
  static ConvertResult Failed(std::string why) { return {Outcome::kFailed, std::move(why)}; }
  static ConvertResult Abandoned() {
    ConvertResult r{Outcome::kFailed, "not converted: the run was stopped"};
    r.abandoned = true;
    return r;
  }
  static ConvertResult SameFile() { return {Outcome::kSameFile, "the document is its own text file"}; }
  bool written() const { return outcome == Outcome::kWritten; }
};

// A document's text as read, before anything is written: outcome kWritten
// means there is text to write (a non-empty reason says what is missing from
// it); kNoText and kFailed carry the reason and no text.
struct DocumentText {
  ConvertResult result;
  std::string text;
};

}  // namespace quarn
