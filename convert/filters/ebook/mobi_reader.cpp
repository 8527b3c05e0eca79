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

}  // namespace

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
  if (compression == kHuffman)
    return ExtractResult::Failed("the book is compressed with a Huffman dictionary, which is not read");
  if (compression != kStored && compression != kPalmDoc)
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

  std::string html;
  bool damaged = false;
  for (std::size_t i = 1; i <= text_records && html.size() < sink.limit(); ++i) {
    std::string_view r = record(i);
    if (r.empty()) {
      damaged = true;
      break;
    }
    r.remove_suffix(TrailingEntriesSize(r, extra_flags));
    if (compression == kPalmDoc)
      html += PalmDocDecompress(r);
    else
      html.append(r);
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
  if (damaged && result.ok())
    return sink.empty() ? ExtractResult::Failed("the book is damaged: its text records are missing")
                        : ExtractResult::Incomplete("the book is damaged: some of its text records are missing");
  return result;
}

}  // namespace quarn
