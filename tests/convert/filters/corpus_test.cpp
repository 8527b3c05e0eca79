// The core's own filters (plain text, RTF) over the shared corpus of
// third-party documents: no crash, a time bound per file, and word recall
// against the reference text or the best peer.  Skipped without the corpus.
#include <map>
#include <string>

#include "tests/support/corpus_run.h"

namespace quarn {
namespace {

// Below 1.0 for plain text: Johab, which uchardet does not recognise, and a
// Vietnamese reference in decomposed form where we write composed letters.
TEST(TextCorpus, PlainTextDocuments) { corpus::RunConversionCorpus("txt", 0.95, 0.2); }

// Files whose low recall is understood.
const std::map<std::string, std::string> kRtfNotes = {
    {"pandoc/image.rtf", "holds only a picture; the peer's one word is its \"[image]\" placeholder"},
};

TEST(RtfCorpus, MedianRecall) { corpus::RunFilterCorpus("rtf", kRtfNotes); }

}  // namespace
}  // namespace quarn
