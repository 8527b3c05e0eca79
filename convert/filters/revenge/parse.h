// What the filters on the Document Liberation libraries share: the run of a
// library's parse call over a collector, with what can go wrong in it turned
// into an ExtractResult; what to do with content a library refuses; and a
// look at a zip package's directory before a library inflates its parts into
// memory.  Reentrant.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/members.h"
#include "convert/filters/module.h"
#include "convert/filters/revenge/detect.h"
#include "convert/filters/revenge/file_stream.h"
#include "convert/filters/revenge/text_collector.h"
#include "convert/filters/sniff.h"

namespace quarn::revenge {

// How a library's parse call ended.
struct Parsed {
  bool ok = false;    // the library reported success
  std::string error;  // what it threw, if anything
};

// Calls parse() (which returns whether the library succeeded), then writes
// what the collector kept for after the body.  A full sink stops the parse
// early; the library's own exceptions are caught here.
template <class Call>
Parsed RunParse(Collector& collector, Call&& parse) {
  Parsed p;
  try {
    p.ok = parse();
  } catch (const SinkFull&) {
  } catch (const std::bad_alloc&) {
    p.error = "out of memory";
  } catch (const std::exception& e) {
    p.error = e.what();
  } catch (...) {
    p.error = "the reader failed";
  }
  try {
    collector.Finish();
  } catch (const SinkFull&) {
  }
  return p;
}

// The filter's result: success, or for a failed parse "<what> cannot be
// read" without text and "<what> is damaged" with some; a full sink is a
// success whose cut the caller reports.
ExtractResult Outcome(const Parsed& parsed, const Collector& collector, const TextSink& sink, std::string_view what);

// "a Visio drawing", "an AbiWord document": what a file is not, for the
// reason of an unknown format.
std::string WithArticle(std::string_view what);

// What a filter does with content its library refuses: hand it to the
// filter of the format it plainly is (self names the refusing filter), or
// report an unknown format with why.  The library is asked first because
// recognising a format by its content may load other modules (a compound
// file's directory is read by the module of Office 97-2003 files), which the
// documents the library reads need not pay for.
ExtractResult Refused(const std::string& path, std::string_view self, TextSink& sink, const std::string& why);

// The whole filter for a library with a yes-or-no detector and one parse
// call into a document of kind Doc (TextDocument, Spreadsheet, Presentation
// or Drawing): content the detector refuses goes to Refused.  what names
// the format's documents ("Publisher document").
template <class Doc, class Detect, class Parse>
ExtractResult ReadDocument(const std::string& path, TextSink& sink, std::string_view self, std::string_view what,
                           Detect detect, Parse parse) {
  FileStream input(path);
  if (!Guarded(
          input, [&] { return static_cast<bool>(detect(&input)); }, false))
    return Refused(path, self, sink, "the content is not " + WithArticle(what));
  Doc doc(sink);
  const Parsed parsed = RunParse(doc.collector(), [&] { return static_cast<bool>(parse(&input, &doc)); });
  return Outcome(parsed, doc.collector(), sink, "the " + std::string(what));
}

// One part of a zip package as its central directory describes it.
using ZipEntry = ZipPart;

// The central directory of the zip package at path, as libzip reads it in
// the module that reads zips (loaded only for a file that ends as a zip
// does); nullopt when the file is no zip or its directory cannot be read,
// with the reason in *error when that module cannot be loaded.
std::optional<std::vector<ZipEntry>> ReadZipDirectory(const std::string& path, std::string* error = nullptr);

// Whether a zip package may be handed to a library that inflates its parts
// whole into memory: within the bounds the container filters keep for one
// member (its size, its inflation ratio) and for all members together.  The
// reason in *why when not.  A file that is no zip passes (the library says
// what it is).
bool ZipWithinLimits(const std::string& path, std::string* why, const ContainerLimits& limits = {});

}  // namespace quarn::revenge
