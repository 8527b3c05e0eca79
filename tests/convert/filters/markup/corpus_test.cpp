// The markup module's filters (web pages, XML) over the shared corpus of
// third-party documents: no crash, a time bound per file, and word recall
// against the reference text or the best peer.  Skipped without the corpus.
#include "tests/support/corpus_run.h"

namespace quarn {
namespace {

TEST(HtmlCorpus, WebPages) { corpus::RunConversionCorpus("html", 0.95, 0.85); }
TEST(XmlCorpus, MedianRecall) { corpus::RunFilterCorpus("xml"); }

}  // namespace
}  // namespace quarn
