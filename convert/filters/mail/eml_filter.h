// The built-in filter for saved e-mail: RFC 822 messages (.eml, through
// GMime).  The headers a reader wants first (From, To, Cc, Date, Subject),
// then the text parts a reader sees: one of alternative renderings, HTML-only
// parts as text, calendars and cards through their filters, a signed body
// without its signature, a delivery report's status; attachments by name
// (uuencoded ones too), with the text of those a filter reads; attached
// messages to a bounded depth.  Encrypted bodies are counted, not read.
// Reentrant: GMime is initialised once, every message is parsed afresh.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

typedef struct _GMimeMessage GMimeMessage;

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateEmlFilter();

// GMime's one-time set-up, before any other GMime call (thread-safe).
void InitMailLibrary();

// The message with lines longer than 4000 bytes broken: GMime loses the
// rest of a multipart part after such a line (a base64 attachment written
// as one line).  Breaks after white space or ">" where it can.
std::string WrapLongLines(std::string bytes);

// Writes one parsed message as this filter does: headers, text parts,
// attachments; the mailbox filter writes each of its messages so.  Adds
// to *encrypted the encrypted bodies (S/MIME, PGP) it could not read.
void WriteMailMessage(GMimeMessage* message, TextSink& sink, std::size_t* encrypted);

// One message of a mail folder, as its raw bytes: parsed and written as
// WriteMailMessage writes it, after a line of dashes when *written (the
// folder's messages written so far, counted up here) is not 0.  False when
// no message can be made of the bytes.
bool WriteFolderMessage(std::string bytes, TextSink& sink, std::size_t* written, std::size_t* encrypted);

// Why a document whose text lacks that many encrypted bodies is incomplete.
std::string EncryptedReason(std::size_t encrypted);

// The text of an HTML body part.  Stands in until the HTML filter's
// reusable extractor is available; one call site, so it can be pointed there.
void MailHtmlToText(std::string_view html_bytes, std::string_view charset, TextSink& sink);

}  // namespace quarn
