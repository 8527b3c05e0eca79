#include "convert/filters/ebook/mobi_reader.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <vector>

#include "convert/filters/markup/html_filter.h"

namespace quarn {

namespace {

// A book file may be this large; real ones stay far below.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{512} << 20;
constexpr std::uint16_t kStored = 1;
constexpr std::uint16_t kPalmDoc = 2;
constexpr std::uint16_t kHuffman = 17480;  // "DH"

std::uint16_t Be16(std::string_view s, std::size_t at) {
  if (at + 2 > s.size()) return 0;
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) << 8 | static_cast<unsigned char>(s[at + 1]));
}

std::uint32_t Be32(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(Be16(s, at)) << 16 | Be16(s, at + 2);
}

// One trailing entry's size, written as a number of 7-bit groups whose
// first group has its high bit set, read backwards from the end.
std::size_t TrailingEntry(std::string_view data) {
  std::size_t n = 0;
  const std::size_t from = data.size() > 4 ? data.size() - 4 : 0;
  for (std::size_t i = from; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    if (b & 0x80) n = 0;
    n = (n << 7) | (b & 0x7F);
  }
  return n;
}

// Where needle (lower case ASCII) first occurs in s from from on, in any case.
std::size_t FindNoCase(std::string_view s, std::string_view needle, std::size_t from = 0) {
  auto it = std::search(s.begin() + static_cast<std::ptrdiff_t>(std::min(from, s.size())), s.end(), needle.begin(),
                        needle.end(), [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
  return it == s.end() ? std::string_view::npos : static_cast<std::size_t>(it - s.begin());
}

std::size_t RFindNoCase(std::string_view s, std::string_view needle) {
  auto it = std::find_end(s.begin(), s.end(), needle.begin(), needle.end(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
  return it == s.end() ? std::string_view::npos : static_cast<std::size_t>(it - s.begin());
}

// Where the next file of a KF8 text flow starts at or after from: its XML
// declaration, document type or <html>, whichever comes first.
std::size_t NextSkeleton(std::string_view flow, std::size_t from) {
  std::size_t next = flow.size();
  for (std::string_view start : {"<?xml", "<!doctype", "<html"}) next = std::min(next, FindNoCase(flow, start, from));
  return next;
}

// Phrases nest; real dictionaries go a few levels deep.
constexpr int kMaxPhraseDepth = 64;
constexpr std::size_t kMaxPhraseBytes = std::size_t{1} << 20;
// What all unpacked phrases of a book may hold together.
constexpr std::size_t kMaxPhraseBudget = std::size_t{64} << 20;

}  // namespace

std::string HuffDictionary::Load(std::string_view huff, const std::vector<std::string_view>& cdics) {
  if (huff.size() < 16 || huff.substr(0, 8) != std::string_view("HUFF\0\0\0\x18", 8))
    return "its Huffman table is missing";
  const std::size_t lookup_at = Be32(huff, 8), lengths_at = Be32(huff, 12);
  if (lookup_at > huff.size() || huff.size() - lookup_at < 256 * 4 || lengths_at > huff.size() ||
      huff.size() - lengths_at < 64 * 4)
    return "its Huffman table is cut short";
  for (std::size_t b = 0; b < 256; ++b) {
    const std::uint32_t v = Be32(huff, lookup_at + 4 * b);
    Lookup& l = first_[b];
    l.length = static_cast<std::uint8_t>(v & 0x1F);
    l.whole = (v & 0x80) != 0;
    if (l.length == 0 || (l.length <= 8 && !l.whole)) return "its Huffman table is damaged";
    l.max = ((static_cast<std::uint64_t>(v >> 8) + 1) << (32 - l.length)) - 1;
  }
  // The least and the greatest code of each length, aligned to the left of
  // 32 bits; the greatest is offset so that it minus a code is the phrase's number.
  for (unsigned length = 1; length <= 32; ++length) {
    min_[length] = static_cast<std::uint64_t>(Be32(huff, lengths_at + 8 * (length - 1))) << (32 - length);
    max_[length] = ((static_cast<std::uint64_t>(Be32(huff, lengths_at + 8 * (length - 1) + 4)) + 1)
                    << (32 - length)) - 1;
  }
  for (std::string_view cdic : cdics) {
    if (cdic.size() < 16 || cdic.substr(0, 8) != std::string_view("CDIC\0\0\0\x10", 8))
      return "its phrase records are missing";
    const std::uint32_t total = Be32(cdic, 8), bits = Be32(cdic, 12);
    if (bits > 16) return "its phrase records are damaged";
    const std::size_t here = std::min<std::size_t>(std::size_t{1} << bits,
                                                   total > phrases_.size() ? total - phrases_.size() : 0);
    if (16 + 2 * here > cdic.size()) return "its phrase records are cut short";
    for (std::size_t i = 0; i < here; ++i) {
      const std::size_t at = 16 + std::size_t{Be16(cdic, 16 + 2 * i)};
      if (at + 2 > cdic.size()) return "its phrase records are damaged";
      const std::uint16_t size = Be16(cdic, at);
      const std::size_t length = size & 0x7FFF;
      if (length > cdic.size() - at - 2) return "its phrase records are damaged";
      Phrase& p = phrases_.emplace_back();
      p.packed = cdic.substr(at + 2, length);
      p.literal = (size & 0x8000) != 0;
      if (p.literal) p.state = Phrase::State::kDone;
    }
  }
  if (phrases_.empty()) return "its phrase records are missing";
  return {};
}

bool HuffDictionary::Unpack(std::string_view data, std::string& out, std::size_t max_out) {
  return Unpack(data, out, max_out, 0);
}

bool HuffDictionary::Unpack(std::string_view data, std::string& out, std::size_t max_out, int depth) {
  if (depth > kMaxPhraseDepth) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  // 64 bits from byte at on, zeros past the end.
  auto window = [&](std::size_t at) {
    std::uint64_t x = 0;
    for (std::size_t i = 0; i < 8; ++i) x = x << 8 | (at + i < data.size() ? bytes[at + i] : 0);
    return x;
  };
  std::int64_t bits_left = static_cast<std::int64_t>(data.size()) * 8;
  std::size_t at = 0;
  std::uint64_t x = window(0);
  int shift = 32;  // the next code's 32 bits are x >> shift
  const std::size_t start = out.size();
  while (out.size() - start < max_out) {
    if (shift <= 0) {
      at += 4;
      x = window(at);
      shift += 32;
    }
    const std::uint64_t code = (x >> shift) & 0xFFFFFFFFu;
    const Lookup& first = first_[code >> 24];
    unsigned length = first.length;
    std::uint64_t max = first.max;
    if (!first.whole) {
      while (length <= 32 && code < min_[length]) ++length;
      if (length > 32) return bits_left < 32;  // the zeros that fill the last byte
      max = max_[length];
    }
    shift -= static_cast<int>(length);
    bits_left -= length;
    if (bits_left < 0) break;
    if (max < code) return false;
    const std::uint64_t number = (max - code) >> (32 - length);
    if (number >= phrases_.size()) return false;
    Phrase& p = phrases_[number];
    if (p.state == Phrase::State::kBusy) return false;  // a phrase that holds itself
    if (p.state == Phrase::State::kPacked) {
      p.state = Phrase::State::kBusy;
      std::string text;
      if (!Unpack(p.packed, text, kMaxPhraseBytes, depth + 1) || unpacked_bytes_ + text.size() > kMaxPhraseBudget)
        return false;
      unpacked_bytes_ += text.size();
      p.text = std::move(text);
      p.state = Phrase::State::kDone;
    }
    const std::string_view phrase = p.literal ? p.packed : std::string_view(p.text);
    out.append(phrase.substr(0, max_out - (out.size() - start)));
  }
  return true;
}

std::vector<std::string> Kf8Files(std::string_view flow) {
  std::vector<std::string> files;
  std::size_t at = 0;
  while (at < flow.size()) {
    std::size_t close = FindNoCase(flow, "</html>", at);
    if (close == std::string_view::npos) {
      files.emplace_back(flow.substr(at));
      break;
    }
    close += 7;
    const std::size_t next = NextSkeleton(flow, close);
    const std::string_view skeleton = flow.substr(at, close - at);
    const std::string_view fragments = flow.substr(close, next - close);
    std::size_t body_end = RFindNoCase(skeleton, "</body>");
    if (body_end == std::string_view::npos) body_end = skeleton.size() - 7;
    std::string file(skeleton.substr(0, body_end));
    file.append(fragments);
    file.append(skeleton.substr(body_end));
    files.push_back(std::move(file));
    at = next;
  }
  return files;
}

bool IsMobiHead(std::string_view head) { return head.size() >= 68 && head.substr(60, 8) == "BOOKMOBI"; }

std::string PalmDocDecompress(std::string_view in, std::size_t max_out) {
  std::string out;
  out.reserve(std::min<std::size_t>(in.size() * 2, max_out));
  for (std::size_t i = 0; i < in.size() && out.size() < max_out;) {
    const auto c = static_cast<unsigned char>(in[i++]);
    if (c >= 1 && c <= 8) {  // the next c bytes as they are
      const std::size_t n = std::min<std::size_t>(c, in.size() - i);
      out.append(in.substr(i, n));
      i += n;
    } else if (c < 0x80) {  // a byte as it is
      out.push_back(static_cast<char>(c));
    } else if (c >= 0xC0) {  // a space and a character
      out.push_back(' ');
      out.push_back(static_cast<char>(c ^ 0x80));
    } else if (i < in.size()) {  // a copy of 3 to 10 bytes from up to 2047 back
      const unsigned pair = (static_cast<unsigned>(c) << 8 | static_cast<unsigned char>(in[i++])) & 0x3FFF;
      const std::size_t distance = pair >> 3, length = (pair & 7) + 3;
      if (distance == 0 || distance > out.size()) break;  // damaged
      for (std::size_t k = 0; k < length && out.size() < max_out; ++k) out.push_back(out[out.size() - distance]);
    }
  }
  if (out.size() > max_out) out.resize(max_out);
  return out;
}

std::size_t TrailingEntriesSize(std::string_view record, std::uint16_t flags) {
  std::size_t total = 0;
  for (unsigned bits = flags >> 1; bits; bits >>= 1) {
    if (!(bits & 1)) continue;
    if (total >= record.size()) return record.size();
    total += TrailingEntry(record.substr(0, record.size() - total));
  }
  // Bit 0: the bytes of a character that goes on into the next record.
  if ((flags & 1) && total < record.size())
    total += (static_cast<unsigned char>(record[record.size() - total - 1]) & 3) + 1;
  return std::min(total, record.size());
}

ExtractResult ExtractMobi(const std::string& path, TextSink& sink) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return ExtractResult::Failed("the book cannot be opened");
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<std::uint64_t>(size) > kMaxFileBytes)
    return ExtractResult::Failed("the book is too large");
  std::string file(static_cast<std::size_t>(size), '\0');
  in.seekg(0);
  in.read(file.data(), size);
  const std::string_view data(file);
  if (!IsMobiHead(data)) return ExtractResult::UnknownFormat("the content is not a MOBI book");

  const std::size_t records = Be16(data, 76);
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < records && 78 + 8 * i + 4 <= data.size(); ++i) offsets.push_back(Be32(data, 78 + 8 * i));
  auto record = [&](std::size_t i) -> std::string_view {
    if (i >= offsets.size()) return {};
    const std::size_t begin = offsets[i];
    const std::size_t end = i + 1 < offsets.size() ? offsets[i + 1] : data.size();
    if (begin >= end || end > data.size()) return {};
    return data.substr(begin, end - begin);
  };
  const std::string_view head = record(0);
  if (head.size() < 16) return ExtractResult::Failed("the book is damaged: its first record is missing");
  const std::uint16_t compression = Be16(head, 0);
  const std::size_t text_records = Be16(head, 8);
  if (Be16(head, 12) != 0) return ExtractResult::Failed("the book is protected against copying (DRM)");
  if (compression != kStored && compression != kPalmDoc && compression != kHuffman)
    return ExtractResult::Failed("the book is compressed in an unknown way (" + std::to_string(compression) + ")");
  std::uint32_t encoding = 1252;
  std::uint16_t extra_flags = 0;
  std::uint32_t version = 0;
  std::size_t fdst = 0;  // the record of the flows' table, 0 for none
  if (head.substr(16, 4) == "MOBI") {
    const std::uint32_t header_length = Be32(head, 20);
    encoding = Be32(head, 28);
    version = Be32(head, 36);
    if (header_length >= 0xE4) extra_flags = Be16(head, 0xF2);
    if (version >= 8 && header_length >= 0xB8) fdst = Be32(head, 0xC0);
  }
  HuffDictionary dictionary;
  if (compression == kHuffman) {
    // The HUFF record and the CDIC records after it, where the header says;
    // should the header point elsewhere, the first HUFF record and the CDIC
    // records that follow it.
    std::size_t first = head.substr(16, 4) == "MOBI" ? Be32(head, 0x70) : 0;
    std::size_t count = head.substr(16, 4) == "MOBI" ? Be32(head, 0x74) : 0;
    if (first >= offsets.size() || record(first).substr(0, 4) != "HUFF" || count == 0 ||
        count > offsets.size() - first) {
      first = 1;
      while (first < offsets.size() && record(first).substr(0, 4) != "HUFF") ++first;
      count = 1;
      while (first + count < offsets.size() && record(first + count).substr(0, 4) == "CDIC") ++count;
    }
    std::vector<std::string_view> cdics;
    for (std::size_t i = first + 1; i < first + count; ++i) cdics.push_back(record(i));
    const std::string problem = dictionary.Load(record(first), cdics);
    if (!problem.empty()) return ExtractResult::Failed("the book is damaged: " + problem);
  }

  std::string html;
  bool damaged = false, codes_damaged = false;
  for (std::size_t i = 1; i <= text_records && html.size() < sink.limit(); ++i) {
    std::string_view r = record(i);
    if (r.empty()) {
      damaged = true;
      break;
    }
    r.remove_suffix(TrailingEntriesSize(r, extra_flags));
    if (compression == kPalmDoc) {
      html += PalmDocDecompress(r);
    } else if (compression == kHuffman) {
      if (!dictionary.Unpack(r, html)) {
        damaged = codes_damaged = true;
        break;
      }
    } else {
      html.append(r);
    }
  }
  const std::string_view charset = encoding == 65001 ? "utf-8" : "windows-1252";
  ExtractResult result = ExtractResult::Ok();
  if (version >= 8) {
    // A Kindle book of the newer kind (KF8, .azw3): its text is the first
    // flow the flows' table marks out (style sheets and pictures' markup
    // follow it), and that flow is each file's skeleton followed by the
    // fragments that go inside its body.
    const std::string_view table = fdst > 0 && fdst < offsets.size() ? record(fdst) : std::string_view();
    if (table.substr(0, 4) == "FDST" && Be32(table, 8) > 0) {
      const std::size_t begin = Be32(table, 12), end = Be32(table, 16);
      if (begin <= end && end <= html.size()) {
        html.resize(end);
        html.erase(0, begin);
      }
    }
    for (const std::string& file : Kf8Files(html)) {
      if (sink.full()) break;
      // A file without words (a cover, a picture's page) is no loss.
      const ExtractResult r = ExtractHtmlText(file, charset, sink, HtmlTitle::kDropped);
      if (!r.ok() && r.status != ExtractResult::Status::kFailed && result.ok()) result = r;
      sink.EndLine();
      sink.EndChunk();
    }
    if (result.ok() && sink.empty()) result = ExtractResult::Failed("the book has no text");
  } else {
    result = ExtractHtmlText(html, charset, sink);
  }
  if (damaged && result.ok() && codes_damaged)
    return sink.empty() ? ExtractResult::Failed("the book is damaged: the codes of its text are damaged")
                        : ExtractResult::Incomplete("the book is damaged: the codes of a text record are damaged");
  if (damaged && result.ok())
    return sink.empty() ? ExtractResult::Failed("the book is damaged: its text records are missing")
                        : ExtractResult::Incomplete("the book is damaged: some of its text records are missing");
  return result;
}

}  // namespace quarn
