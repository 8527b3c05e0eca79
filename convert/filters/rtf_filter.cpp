#include "convert/filters/rtf_filter.h"

#include "convert/charset.h"

#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert/filters/common/embedded.h"
#include "convert/filters/members.h"
#include "convert/filters/common/phonetic_guide.h"
#include "convert/filters/common/scanned_pictures.h"
#include "convert/filters/common/symbol_font.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Groups nested deeper than this are not followed (their text is dropped and
// the document reported incomplete): real documents stay far below, and the
// state stack stays small whatever the file does.
constexpr std::size_t kMaxDepth = 10000;
constexpr std::size_t kBlockSize = std::size_t{64} << 10;
// Body text is handed to the sink in pieces of about this size.
constexpr std::size_t kFlushBytes = std::size_t{64} << 10;

// The iconv name of a Windows code page number.
std::string IconvName(int cp) {
  switch (cp) {
    case 65001: return "UTF-8";
    case 10000: return "MACINTOSH";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 1361: return "JOHAB";
    default: break;
  }
  if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
  return "CP" + std::to_string(cp);
}

// The code page a font's \fcharset stands for; 0 for "the document's own".
int CharsetCodePage(int charset) {
  switch (charset) {
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 255: return 437;
    default: return 0;  // ANSI, default, symbol and unknown sets follow \ansicpg
  }
}

// The font-table mark of a font in the ANSI character set.
constexpr int kAnsiCharset = -1;

bool IsDoubleByte(int cp) { return cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 1361; }

// 8-bit text to UTF-8 through iconv, one converter per code page met.
class CodePageDecoder {
 public:
  CodePageDecoder() = default;
  CodePageDecoder(const CodePageDecoder&) = delete;
  CodePageDecoder& operator=(const CodePageDecoder&) = delete;
  ~CodePageDecoder() {
    for (auto& [cp, cd] : converters_)
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }

  void Decode(int cp, std::string_view bytes, std::string& out) {
    iconv_t cd = Converter(cp);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      for (char c : bytes) AppendUtf8(static_cast<unsigned char>(c), out);
      return;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char buf[4096];
    while (in_left > 0) {
      char* o = buf;
      std::size_t o_left = sizeof buf;
      std::size_t r = iconv(cd, &in, &in_left, &o, &o_left);
      out.append(buf, static_cast<std::size_t>(o - buf));
      if (r != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // An invalid or cut-off sequence: one replacement character for its
      // first byte, then go on with the next.
      AppendUtf8(0xFFFD, out);
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }

 private:
  iconv_t Converter(int cp) {
    auto it = converters_.find(cp);
    if (it != converters_.end()) return it->second;
    iconv_t cd = iconv_open("UTF-8", IconvName(cp).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1) && cp != 1252) cd = iconv_open("UTF-8", "CP1252");
    converters_.emplace(cp, cd);
    return cd;
  }
  std::map<int, iconv_t> converters_;
};

// Bytes of the file, read in blocks.
class ByteReader {
 public:
  explicit ByteReader(std::FILE* f) : f_(f), buf_(kBlockSize) {}
  int Next() {
    if (pos_ == len_ && !Fill()) return -1;
    return static_cast<unsigned char>(buf_[pos_++]);
  }
  int Peek() {
    if (pos_ == len_ && !Fill()) return -1;
    return static_cast<unsigned char>(buf_[pos_]);
  }
  // Skips n bytes; false when the file ends first.
  bool Skip(std::uint64_t n) {
    while (n > 0) {
      if (pos_ == len_ && !Fill()) return false;
      std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, len_ - pos_));
      pos_ += take;
      n -= take;
    }
    return true;
  }
  bool error() const { return error_; }

 private:
  bool Fill() {
    if (eof_) return false;
    len_ = std::fread(buf_.data(), 1, buf_.size(), f_);
    pos_ = 0;
    if (len_ == 0) {
      eof_ = true;
      error_ = std::ferror(f_) != 0;
      return false;
    }
    return true;
  }
  std::FILE* f_;
  std::vector<char> buf_;
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false, error_ = false;
};

enum class Dest : std::uint8_t {
  kText,       // body text, or the note or header the group belongs to
  kSkip,       // nothing in the group is shown
  kFontTable,  // font numbers and their character sets
  kShape,      // a shape's properties: nothing shown but its own text (\shptxt)
  kObjData,    // an embedded object's bytes, in hexadecimal
  kPropName,   // the name of a shape's property (\sn)
  kPicture,    // a picture's bytes (\pict), kept while the body has no words
  kPictureHolder,  // nothing shown, but a \pict in it is the body's picture
};

// Where text goes: the body, headers and footers, notes, or the code of the
// field being read (kept to see whether it is a phonetic guide).
// kDeleted takes text that a tracked change deleted: written nowhere.
enum class Target : std::uint8_t { kBody, kHeaders, kNotes, kFieldCode, kDeleted };

// Embedded objects are read up to this size.
constexpr std::size_t kMaxObjectBytes = std::size_t{64} << 20;
// A field's code is kept up to this size: phonetic guides are short.
constexpr std::size_t kMaxFieldCode = 4096;

struct GroupState {
  Dest dest = Dest::kText;
  Target target = Target::kBody;
  int uc = 1;        // fallback characters after \uN
  int code_page = 0; // of the current font; 0: the document's
  int font = -1;     // the current font's number; -1: none chosen
  bool in_table = false;
  bool list_label = false;  // inside \listtext or \pntext: a list item's label
  bool field = false;       // the group of a \field
  bool deleted = false;     // text a tracked change deleted (\deleted)
  bool word_art = false;    // the text a WordArt shape draws
};

struct Control {
  std::string word;  // letters, or the one symbol character
  bool symbol = false;
  bool has_param = false;
  std::int64_t param = 0;
};

class RtfParser {
 public:
  RtfParser(ByteReader& in, TextSink& sink) : in_(in), sink_(sink) {}

  ExtractResult Run() {
    states_.push_back(GroupState{});
    states_.back().dest = Dest::kSkip;  // until the opening brace
    bool closed = false;
    while (!sink_.full()) {
      int c = in_.Next();
      if (c < 0) break;
      if (c == '{') {
        FlushBytes();
        skip_left_ = 0;
        if (states_.size() >= kMaxDepth) {
          ++overflow_;
          too_deep_ = true;
        } else if (overflow_ > 0) {
          ++overflow_;
        } else {
          GroupState s = states_.back();
          if (states_.size() == 1) s.dest = Dest::kText;
          s.field = false;
          states_.push_back(s);
        }
        group_start_ = true;
        continue;
      }
      if (c == '}') {
        FlushBytes();
        skip_left_ = 0;
        group_start_ = false;
        if (overflow_ > 0) {
          --overflow_;
          continue;
        }
        if (states_.size() <= 1) continue;  // stray closing brace
        EndGroup();
        if (states_.size() == 1) {
          closed = true;
          break;
        }
        continue;
      }
      if (c == '\\') {
        Control ctl;
        if (!ReadControl(ctl)) break;
        // \* marks an ignorable destination only as the first thing in its group.
        star_allowed_ = group_start_;
        group_start_ = false;
        starred_ = star_pending_;
        star_pending_ = false;
        if (overflow_ > 0) {
          if (ctl.word == "bin" && ctl.has_param && ctl.param > 0 && !in_.Skip(static_cast<std::uint64_t>(ctl.param)))
            break;
          continue;
        }
        if (!HandleControl(ctl)) break;
        continue;
      }
      if (c == '\r' || c == '\n' || overflow_ > 0) continue;
      group_start_ = false;
      TextByte(static_cast<unsigned char>(c));
    }
    FlushBytes();
    FlushBody(true);
    // A body of pictures and no words is a scan saved as RTF: its pictures
    // are read by OCR where the body stands.
    if (!pictures_.empty() && !sink_.full() && !HasWords(sink_)) {
      PrivateFolder folder;
      for (const auto& [kind, bytes] : pictures_) {
        if (sink_.full()) break;
        RecognizePicture(bytes, "picture" + kind, folder, sink_);
      }
    }
    pictures_.clear();
    if (sink_.full()) {
      FinishNotes();
      return ExtractResult::Incomplete("the text limit was reached");
    }
    FinishNotes();
    if (in_.error()) return ExtractResult::Incomplete("the document could not be read to its end");
    if (!closed) return ExtractResult::Incomplete("the document ends before its last group is closed");
    if (notes_cut_) return ExtractResult::Incomplete("notes beyond the text limit were left out");
    if (too_deep_)
      return ExtractResult::Incomplete("groups nested deeper than " + std::to_string(kMaxDepth) + " were left out");
    return ExtractResult::Ok();
  }

 private:
  GroupState& top() { return states_.back(); }

  // Reads what follows a backslash.  False at the end of the file.
  bool ReadControl(Control& ctl) {
    int c = in_.Next();
    if (c < 0) return false;
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter) {
      ctl.symbol = true;
      ctl.word.assign(1, static_cast<char>(c));
      return true;
    }
    ctl.word.push_back(static_cast<char>(c));
    while (true) {
      c = in_.Peek();
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) break;
      in_.Next();
      if (ctl.word.size() < 32) ctl.word.push_back(static_cast<char>(c));
    }
    bool negative = false;
    if (c == '-') {
      in_.Next();
      negative = true;
      c = in_.Peek();
    }
    int digits = 0;
    while (c >= '0' && c <= '9') {
      in_.Next();
      if (digits < 10) ctl.param = ctl.param * 10 + (c - '0');
      ++digits;
      c = in_.Peek();
    }
    if (digits > 0) {
      ctl.has_param = true;
      if (negative) ctl.param = -ctl.param;
    }
    if (c == ' ') in_.Next();  // the delimiter belongs to the control word
    return true;
  }

  static int Hex(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // False when the document ends inside the control's data.
  bool HandleControl(const Control& ctl) {
    const std::string& w = ctl.word;
    if (ctl.symbol) {
      char s = w[0];
      if (s == '\'') {
        int h = in_.Next();
        int l = h < 0 ? -1 : in_.Next();
        if (l < 0) return false;
        int hi = Hex(h), lo = Hex(l);
        if (hi < 0 || lo < 0) return true;
        if (skip_left_ > 0) {
          --skip_left_;
          return true;
        }
        if (top().dest == Dest::kText) PushByte(static_cast<unsigned char>(hi * 16 + lo));
        return true;
      }
      if (s == '*') {
        // In the middle of a group it means nothing: the words after it stay.
        if (star_allowed_) {
          top().dest = Dest::kSkip;
          star_pending_ = true;
        }
        return true;
      }
      if (s == '\\' || s == '{' || s == '}') {
        TextByte(static_cast<unsigned char>(s));
        return true;
      }
      if (ConsumeSkip()) return true;
      if (s == '~') Emit(U'\u00A0');
      else if (s == '_') Emit(U'\u2011');
      else if (s == '\r' || s == '\n') Break();
      else if (s == '\t') Emit(U'\t');
      // \- (optional hyphen), \: and \| show nothing.
      return true;
    }

    if (top().dest == Dest::kPicture) return PictureControl(ctl);
    if (w == "bin") {
      FlushBytes();
      if (ctl.has_param && ctl.param > 0 && !in_.Skip(static_cast<std::uint64_t>(ctl.param))) return false;
      return true;
    }
    if (w == "u" && ctl.has_param) {
      if (skip_left_ > 0) {  // a \u inside another's fallback
        --skip_left_;
        return true;
      }
      std::int64_t n = ctl.param;
      if (n < 0) n += 65536;
      char32_t cp = static_cast<char32_t>(n & 0xFFFF);
      if (top().dest == Dest::kText) {
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          FlushBytes();
          if (high_surrogate_) EmitRaw(0xFFFD);
          high_surrogate_ = cp;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF && high_surrogate_) {
          char32_t full = 0x10000 + ((high_surrogate_ - 0xD800) << 10) + (cp - 0xDC00);
          high_surrogate_ = 0;
          Emit(full);
        } else if (const std::string* symbol = SymbolFontName(); symbol && (cp < 0x100 || (cp >= 0xF000 && cp <= 0xF0FF))) {
          if (char32_t shown = SymbolText(*symbol, cp)) Emit(shown);
        } else {
          Emit(cp);
        }
      }
      skip_left_ = top().uc;
      return true;
    }
    if (ConsumeSkip()) return true;

    if (top().dest == Dest::kFontTable) {
      if (w == "f" && ctl.has_param) {
        font_ = static_cast<int>(ctl.param);
        font_name_.clear();
      }
      else if (w == "fcharset" && ctl.has_param) {
        int charset = static_cast<int>(ctl.param);
        int cp = CharsetCodePage(charset);
        if (cp) font_cp_[font_] = cp;
        else if (charset == 0) font_cp_[font_] = kAnsiCharset;
      } else if (w == "cpg" && ctl.has_param && ctl.param > 0) {
        font_cp_[font_] = static_cast<int>(ctl.param);
      } else if (IsSkippedDestination(w)) {
        top().dest = Dest::kSkip;
      }
      return true;
    }

    // Properties that hold in skipped groups too, so that a later group
    // inherits the right state.
    if (w == "uc" && ctl.has_param) {
      top().uc = ctl.param < 0 ? 0 : static_cast<int>(std::min<std::int64_t>(ctl.param, 16));
      return true;
    }
    if (w == "ansicpg" && ctl.has_param) {
      if (ctl.param > 0) doc_cp_ = static_cast<int>(ctl.param);
      return true;
    }
    if (w == "mac") { doc_cp_ = 10000; return true; }
    if (w == "pc") { doc_cp_ = 437; return true; }
    if (w == "pca") { doc_cp_ = 850; return true; }
    if (w == "deff" && ctl.has_param) { default_font_ = static_cast<int>(ctl.param); return true; }
    if (w == "fonttbl") {
      FlushBytes();
      top().dest = Dest::kFontTable;
      return true;
    }
    if (w == "f" && ctl.has_param) {
      FlushBytes();
      top().font = static_cast<int>(ctl.param);
      auto it = font_cp_.find(static_cast<int>(ctl.param));
      top().code_page = it == font_cp_.end() ? 0 : it->second;
      return true;
    }
    if (w == "plain") {
      FlushBytes();
      top().deleted = false;
      top().font = default_font_;
      auto it = font_cp_.find(default_font_);
      top().code_page = it == font_cp_.end() ? 0 : it->second;
      return true;
    }
    // A drawing shape ({\shp{\*\shpinst ...{\shptxt text}}}): its text box
    // is document text where the shape is anchored; its properties are not.
    if (w == "shpinst" && states_.size() >= 2 &&
        (states_[states_.size() - 2].dest == Dest::kText || states_[states_.size() - 2].dest == Dest::kShape)) {
      FlushBytes();
      top().dest = Dest::kShape;
      return true;
    }
    if (top().dest == Dest::kShape) {
      if (w == "shptxt") {
        top().dest = Dest::kText;
      } else if (w == "sp") {
        prop_name_.clear();
      } else if (w == "sn") {
        top().dest = Dest::kPropName;
      } else if (w == "sv" && prop_name_ == "pib" && top().target == Target::kBody) {
        // A picture shape's picture.
        top().dest = Dest::kPictureHolder;
      } else if (w == "sv" && prop_name_ == "gtextUNICODE") {
        // WordArt keeps its text as a property of the shape; it is shown
        // on a line of its own where the shape is anchored.
        top().dest = Dest::kText;
        top().word_art = true;
        EnsureLineStart(*Current().text);
      }
      return true;
    }
    const Dest parent = states_.size() >= 2 ? states_[states_.size() - 2].dest : Dest::kSkip;
    const bool parent_shown = parent == Dest::kText;
    // A picture in the body, while the body has no words: kept, in case the
    // document is a scan saved as RTF (its pictures are then read by OCR).
    // Word writes each picture twice: as itself in {\*\shppict{\pict ...}},
    // and as a metafile for older readers in {\nonshppict ...}, left out.
    if (w == "shppict" && parent_shown && top().target == Target::kBody) {
      FlushBytes();
      top().dest = Dest::kPictureHolder;
      return true;
    }
    if (w == "pict" && (parent_shown || parent == Dest::kPictureHolder) && top().target == Target::kBody && !top().deleted &&
        pictures_.size() < kMaxScannedPictures && !BodyHasWords()) {
      FlushBytes();
      top().dest = Dest::kPicture;
      picture_.clear();
      picture_nibble_ = -1;
      picture_kind_.clear();
      return true;
    }
    if (w == "objdata" && parent_shown) {
      // The embedded object's bytes: read by the filter of their content
      // when the group ends.
      FlushBytes();
      top().dest = Dest::kObjData;
      objdata_.clear();
      objdata_nibble_ = -1;
      return true;
    }
    if (w == "fldinst" && parent_shown && top().target != Target::kFieldCode) {
      // The field's code: kept, not shown, to see whether it is a phonetic
      // guide without a result.
      FlushBytes();
      top().dest = Dest::kText;
      top().target = Target::kFieldCode;
      return true;
    }
    if ((w == "footnote" || w == "annotation") && parent_shown && (top().dest == Dest::kText || starred_)) {
      // Notes and comments, marked ignorable ({\*\footnote}) by some
      // writers and always for comments: read all the same.
      FlushBytes();
      top().dest = Dest::kText;
      top().target = Target::kNotes;
      if (w == "footnote") {
        // Footnotes and endnotes are numbered in the order they are
        // anchored; a comment is listed with them but takes no number.
        ++notes_;
        in_note_ = notes_;
      }
      EnsureLineStart(notes_text_);
      return true;
    }
    if (top().dest == Dest::kSkip || top().dest == Dest::kObjData || top().dest == Dest::kPictureHolder) return true;
    if (w == "field") {
      FlushBytes();
      top().field = true;
      field_code_.clear();
      field_mark_ = written_;
      return true;
    }
    if (w == "fldrslt") {
      FlushBytes();
      field_mark_ = written_;
      return true;
    }

    if (IsSkippedDestination(w)) {
      FlushBytes();
      top().dest = Dest::kSkip;
      return true;
    }
    if ((w == "listtext" || w == "pntext") && !top().list_label) {
      // The label a list item shows, written out for readers that do not
      // number lists themselves; tidied when its group ends.
      FlushBytes();
      top().list_label = true;
      Side& side = Current();
      label_target_ = top().target;
      label_start_ = side.text->size() + static_cast<std::size_t>(side.pending_tabs);
      return true;
    }
    if (IsHeaderOrFooter(w)) {
      FlushBytes();
      top().target = Target::kHeaders;
      EnsureLineStart(headers_text_);
      return true;
    }
    if (w == "par" || w == "line" || w == "sect" || w == "page") {
      if (top().in_table && (w == "par")) Emit(U' ');
      else Break();
      return true;
    }
    if (w == "deleted") {
      // The document as it reads with its changes accepted: deleted
      // characters are left out, inserted ones kept.  Deleted paragraph
      // marks still end their paragraph, so no two words run together.
      FlushBytes();
      top().deleted = !(ctl.has_param && ctl.param == 0);
      return true;
    }
    if (w == "intbl") { top().in_table = true; return true; }
    if (w == "pard") { top().in_table = false; return true; }
    if (w == "tab") { Emit(U'\t'); return true; }
    if (w == "cell" || w == "nestcell" || w == "nestrow") {
      FlushBytes();
      Side& s = Current();
      TrimBlanks(*s.text);
      ++s.pending_tabs;
      return true;
    }
    if (w == "row") {
      FlushBytes();
      Side& s = Current();
      s.pending_tabs = 0;
      TrimBlanks(*s.text);
      EnsureLineStart(*s.text);
      return true;
    }
    if (w == "chftn") {
      // The body shows "[n]" where note n is anchored; the note starts with "[n] ".
      if (top().target == Target::kNotes) EmitText("[" + std::to_string(in_note_) + "] ");
      else EmitText("[" + std::to_string(notes_ + 1) + "]");
      return true;
    }
    char32_t cp = 0;
    if (w == "emdash") cp = U'\u2014';
    else if (w == "endash") cp = U'\u2013';
    else if (w == "bullet") cp = U'\u2022';
    else if (w == "lquote") cp = U'\u2018';
    else if (w == "rquote") cp = U'\u2019';
    else if (w == "ldblquote") cp = U'\u201C';
    else if (w == "rdblquote") cp = U'\u201D';
    else if (w == "emspace" || w == "enspace" || w == "qmspace") cp = U' ';
    if (cp) Emit(cp);
    return true;
  }

  static bool IsHeaderOrFooter(std::string_view w) {
    static constexpr std::string_view kParts[] = {"header", "headerl", "headerr", "headerf",
                                                  "footer", "footerl", "footerr", "footerf"};
    for (std::string_view s : kParts)
      if (w == s) return true;
    return false;
  }

  static bool IsSkippedDestination(std::string_view w) {
    static constexpr std::string_view kSkipped[] = {
        "colortbl", "stylesheet", "info", "pict", "objdata", "objclass", "objname", "themedata",
        "datastore", "fldinst", "listtable", "listoverridetable", "revtbl", "rsidtbl", "generator",
        "xmlnstbl", "latentstyles", "colorschememapping", "filetbl", "pgdsctbl", "nonshppict",
        "nonesttables", "pntxta", "pntxtb", "xe", "tc", "template", "userprops", "password",
        "falt", "panose", "bkmkstart", "bkmkend", "mmathPr", "keywords", "author", "operator",
        "title", "subject", "comment", "doccomm", "company", "category", "txe", "atnid",
        "atnauthor", "atndate", "atnref", "protusertbl", "listpicture", "fchars", "lchars",
        "blipuid", "shprslt", "sp", "sn", "sv", "wgrffmtfilter", "passwordhash", "docvar",
    };
    for (std::string_view s : kSkipped)
      if (w == s) return true;
    return false;
  }

  // True (and one fallback character used up) while \uN's fallback is being
  // passed over.
  bool ConsumeSkip() {
    if (skip_left_ == 0) return false;
    --skip_left_;
    return true;
  }

  // The body so far (written out, and waiting) holds a word.
  bool BodyHasWords() { return HasWords(sink_) || HasWords(body_); }

  // A control word inside \pict: the picture's format, or its bytes given
  // raw after \bin.  Metafiles are drawings: not kept.
  bool PictureControl(const Control& ctl) {
    const std::string& w = ctl.word;
    if (w == "pngblip") picture_kind_ = ".png";
    else if (w == "jpegblip") picture_kind_ = ".jpg";
    else if (w == "dibitmap") picture_kind_ = ".dib";
    else if (w == "emfblip" || w == "wmetafile" || w == "macpict" || w == "pmmetafile" || w == "wbitmap")
      picture_kind_ = "-";
    else if (w == "bin" && ctl.has_param && ctl.param > 0) {
      for (std::int64_t i = 0; i < ctl.param; ++i) {
        const int c = in_.Next();
        if (c < 0) return false;
        if (picture_.size() < kMaxObjectBytes) picture_.push_back(static_cast<char>(c));
      }
    }
    return true;
  }

  // A picture's group ended: kept when it is a bitmap (a DIB gets the file
  // header it lacks).
  void EndPicture() {
    std::string bytes;
    bytes.swap(picture_);
    if (picture_kind_.empty() || picture_kind_ == "-" || bytes.empty()) return;
    std::string extension = picture_kind_;
    if (extension == ".dib") {
      OfficeArtPicture dib;
      dib.size = bytes.size();
      dib.dib = true;
      bytes = OfficeArtPictureFile(bytes, dib);
      extension = ".bmp";
    }
    if (!bytes.empty()) pictures_.emplace_back(std::move(extension), std::move(bytes));
  }

  void TextByte(unsigned char c) {
    if (top().dest == Dest::kPicture) return HexByte(c, picture_, picture_nibble_);
    if (top().dest == Dest::kObjData) return HexByte(c, objdata_, objdata_nibble_);
    if (top().dest == Dest::kFontTable) return FontNameByte(c);
    if (top().dest == Dest::kPropName) {
      if (prop_name_.size() < 64) prop_name_.push_back(static_cast<char>(c));
      return;
    }
    if (ConsumeSkip()) return;
    if (top().dest != Dest::kText) return;
    PushByte(c);
  }

  // A font's name ends with a semicolon: a symbol font's number is kept, as
  // its text stands for other characters.
  void FontNameByte(unsigned char c) {
    if (c != ';') {
      if (font_name_.size() < 64) font_name_.push_back(static_cast<char>(c));
      return;
    }
    if (IsSymbolFont(font_name_)) symbol_fonts_[font_] = font_name_;
    else symbol_fonts_.erase(font_);
    font_name_.clear();
  }

  // The current font's name when it is a symbol font, else null.
  const std::string* SymbolFontName() {
    auto it = symbol_fonts_.find(top().font);
    return it == symbol_fonts_.end() ? nullptr : &it->second;
  }

  // A character of a symbol font as it is shown.  A picture without a
  // meaning as text is left out, but in a list label it is a bullet (as the
  // font's private-use character, which the label turns into one).
  char32_t SymbolText(const std::string& font, char32_t code) {
    const char32_t shown = SymbolChar(font, code);
    if (shown == 0 && top().list_label) return code < 0x100 ? 0xF000 + code : code;
    return shown;
  }

  // One hexadecimal digit of bytes written as text (an object's, a
  // picture's): every second one completes a byte; past kMaxObjectBytes the
  // rest is passed over.
  static void HexByte(unsigned char c, std::string& out, int& nibble) {
    const int v = Hex(c);
    if (v < 0 || out.size() >= kMaxObjectBytes) return;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<char>(nibble * 16 + v));
      nibble = -1;
    }
  }

  // The text of the object whose bytes the group just ended held: an OLE 1.0
  // object whose native data is a document, or a packaged file.
  void EmbeddedObject() {
    std::string bytes;
    bytes.swap(objdata_);
    if (top().dest != Dest::kText) return;
    std::optional<Ole1Object> object = ParseOle1Object(bytes);
    if (!object) return;
    TextSink inner = SideSink(sink_, sink_.limit() - std::min(sink_.limit(), sink_.size() + body_.size()));
    if (object->class_name == "Package") {
      std::optional<PackagedFile> file = ParsePackage(object->native);
      if (!file || !ExtractEmbedded(file->bytes, inner, file->name)) return;
    } else if (!ExtractEmbedded(object->native, inner)) {
      return;
    }
    std::string text = inner.Joined();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) return;
    Side& side = Current();
    side.pending_tabs = 0;
    EnsureLineStart(*side.text);
    EmitText(text + "\n");
  }

  // 8-bit text waits in a run so that a double-byte character split over a
  // \'hh and a literal byte is decoded whole.
  void PushByte(unsigned char c) {
    if (const std::string* symbol = SymbolFontName(); symbol && c >= 0x20) {
      FlushBytes();
      if (char32_t shown = SymbolText(*symbol, c)) Emit(shown);
      return;
    }
    int cp = top().code_page ? top().code_page : doc_cp_;
    if (cp == kAnsiCharset) {
      // A font of the ANSI set in a double-byte document holds Latin text;
      // elsewhere it follows the document's code page, as simple writers
      // mark every font so whatever the text is.
      cp = IsDoubleByte(doc_cp_) ? 1252 : doc_cp_;
    }
    if (!bytes_.empty() && (cp != bytes_cp_ || Out() != bytes_target_)) FlushBytes();
    if (high_surrogate_) {
      high_surrogate_ = 0;
      EmitRaw(U'\uFFFD');
    }
    bytes_cp_ = cp;
    bytes_target_ = Out();
    bytes_.push_back(static_cast<char>(c));
    // Below 0x40 a byte is never the second half of a double-byte character.
    if (bytes_.size() >= 4096 && c < 0x40) FlushBytes();
  }

  void FlushBytes() {
    if (bytes_.empty()) return;
    std::string utf8;
    if (bytes_cp_ == 1252 || bytes_cp_ == 0) {
      bool ascii = true;
      for (char ch : bytes_) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
      if (ascii) utf8 = bytes_;
    }
    if (utf8.empty()) decoder_.Decode(bytes_cp_ ? bytes_cp_ : 1252, bytes_, utf8);
    bytes_.clear();
    WriteTo(bytes_target_, utf8);
  }

  struct Side {
    std::string* text;
    int pending_tabs = 0;
  };

  // Where the group's characters go: its story, or nowhere when deleted
  // (paragraph and cell marks stay with the story).
  Target Out() { return top().deleted ? Target::kDeleted : top().target; }
  Side& Current() { return sides_[static_cast<int>(top().target)]; }

  void Emit(char32_t cp) {
    if (top().dest != Dest::kText) return;
    FlushBytes();
    if (high_surrogate_) {
      high_surrogate_ = 0;
      EmitRaw(U'\uFFFD');
    }
    EmitRaw(cp);
  }
  void EmitRaw(char32_t cp) {
    std::string s;
    AppendUtf8(cp, s);
    WriteTo(Out(), s);
  }
  void EmitText(const std::string& s) {
    if (top().dest != Dest::kText) return;
    FlushBytes();
    WriteTo(Out(), s);
  }
  void Break() {
    if (top().dest != Dest::kText) return;
    FlushBytes();
    Side& s = Current();
    s.pending_tabs = 0;
    s.text->push_back('\n');
    if (top().target == Target::kBody) FlushBody(false);
  }

  void WriteTo(Target t, const std::string& utf8) {
    if (utf8.empty() || t == Target::kDeleted) return;
    Side& s = sides_[static_cast<int>(t)];
    if (s.pending_tabs > 0) {
      // Tabs of ended cells are written only once another cell has text, so
      // a row never ends with a tab.
      s.text->append(static_cast<std::size_t>(s.pending_tabs), '\t');
      s.pending_tabs = 0;
    }
    if (t == Target::kFieldCode) {
      if (s.text->size() + utf8.size() <= kMaxFieldCode) s.text->append(utf8);
      return;
    }
    if (t != Target::kBody && s.text->size() + utf8.size() > sink_.limit()) {
      notes_cut_ = true;
      return;
    }
    s.text->append(utf8);
    written_ += utf8.size();
    if (t == Target::kBody) FlushBody(false);
  }

  // Hands body text to the sink; a last, unfinished line stays unless final.
  void FlushBody(bool final) {
    if (!final && body_.size() < kFlushBytes) return;
    if (body_.empty()) return;
    sink_.Append(body_);
    body_.clear();
  }

  // Spaces before a cell's end are layout, not text.
  static void TrimBlanks(std::string& s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
  }

  static void EnsureLineStart(std::string& s) {
    if (!s.empty() && s.back() != '\n') s.push_back('\n');
  }

  void EndGroup() {
    GroupState closing = states_.back();
    states_.pop_back();
    if (closing.dest == Dest::kObjData && top().dest != Dest::kObjData) EmbeddedObject();
    if (closing.dest == Dest::kPicture && top().dest != Dest::kPicture) EndPicture();
    if (closing.field) {
      // A phonetic guide whose result shows nothing shows its base and reading.
      std::string code;
      code.swap(field_code_);
      if (written_ == field_mark_ && top().dest == Dest::kText) {
        std::string guide = PhoneticGuideText(code);
        if (guide.empty()) {
          const std::string* font = SymbolFontName();
          guide = SymbolFieldText(code, font ? *font : std::string(), [this](char byte) {
            std::string out;
            decoder_.Decode(top().code_page > 0 ? top().code_page : doc_cp_, std::string(1, byte), out);
            return out;
          });
        }
        if (!guide.empty()) EmitText(guide);
      }
    }
    if (closing.list_label && !top().list_label) FinishLabel();
    if (closing.word_art && !top().word_art) EnsureLineStart(*Current().text);
    if (closing.dest == Dest::kFontTable && top().dest != Dest::kFontTable && top().code_page == 0) {
      // Text before any \f is in the default font.
      top().font = default_font_;
      auto it = font_cp_.find(default_font_);
      if (it != font_cp_.end()) top().code_page = it->second;
    }
    if (closing.target == Target::kNotes && top().target != Target::kNotes) EnsureLineStart(notes_text_);
    if (closing.target == Target::kHeaders && top().target != Target::kHeaders) EnsureLineStart(headers_text_);
    if (high_surrogate_ && closing.dest == Dest::kText) {
      high_surrogate_ = 0;
      std::string s;
      AppendUtf8(0xFFFD, s);
      WriteTo(closing.deleted ? Target::kDeleted : closing.target, s);
    }
  }

  // A label is "1." or a bullet and a space: the tab that follows it in the
  // document would start a new cell in a table row, and its leading
  // spaces are layout.
  void FinishLabel() {
    std::string& text = *sides_[static_cast<int>(label_target_)].text;
    std::size_t start = label_start_;
    label_start_ = std::string::npos;
    if (start > text.size()) return;  // written out to the sink already
    std::size_t first = start;
    while (first < text.size() && text[first] == ' ') ++first;
    text.erase(start, first - start);
    for (std::size_t i = start; i < text.size(); ++i) {
      if (text[i] == '\t') text[i] = ' ';
      // A bullet drawn from a symbol font (Symbol, Wingdings, OpenSymbol)
      // is a private-use character that means nothing outside that font.
      if (i + 3 <= text.size() && (text[i] == '\xEE' || text[i] == '\xEF') &&
          (text[i] == '\xEE' || static_cast<unsigned char>(text[i + 1]) < 0xA4))
        text.replace(i, 3, "\u2022");
    }
    while (text.size() > start && text.back() == ' ') text.pop_back();
    if (text.size() > start) text.push_back(' ');
  }

  // Headers and footers, then footnotes and comments, after the body.
  void FinishNotes() {
    for (std::string* part : {&headers_text_, &notes_text_}) {
      if (part->empty() || sink_.full()) continue;
      sink_.EndLine();
      EnsureLineStart(*part);
      sink_.Append(*part);
    }
    sink_.EndLine();
  }

  ByteReader& in_;
  TextSink& sink_;
  CodePageDecoder decoder_;
  std::vector<GroupState> states_;
  std::size_t label_start_ = std::string::npos;  // where the open list label began
  Target label_target_ = Target::kBody;
  std::size_t overflow_ = 0;  // groups open beyond kMaxDepth
  bool too_deep_ = false;
  int skip_left_ = 0;
  char32_t high_surrogate_ = 0;
  int doc_cp_ = 1252;
  int default_font_ = 0;
  int font_ = 0;
  std::unordered_map<int, int> font_cp_;
  std::unordered_map<int, std::string> symbol_fonts_;  // font number -> name
  std::string font_name_;  // the font table's name being read
  std::string bytes_;
  int bytes_cp_ = 1252;
  Target bytes_target_ = Target::kBody;
  int notes_ = 0;
  int in_note_ = 0;
  bool notes_cut_ = false;
  std::string body_, headers_text_, notes_text_, field_code_;
  std::string deleted_text_;  // stays empty: nothing is written to deleted text
  std::string prop_name_;     // the name of the shape property being read
  Side sides_[5] = {{&body_}, {&headers_text_}, {&notes_text_}, {&field_code_}, {&deleted_text_}};
  bool group_start_ = false;   // nothing but the opening brace read in this group yet
  bool star_allowed_ = false;  // the control word being handled opened its group
  bool star_pending_ = false;  // \* just opened its group: the next word is the destination
  bool starred_ = false;       // the control word being handled follows such a \*
  std::string picture_;        // the bytes of the picture being read
  int picture_nibble_ = -1;
  std::string picture_kind_;   // its file's extension; "-" for a drawing
  std::vector<std::pair<std::string, std::string>> pictures_;  // kept pictures: extension, bytes
  std::string objdata_;        // the bytes of the object being read
  int objdata_nibble_ = -1;    // a first hex digit waiting for its second
  std::size_t written_ = 0;     // bytes of shown text so far
  std::size_t field_mark_ = 0;  // written_ where the current field's result began
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

class RtfFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "rtf", sink)) return *r;
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) return ExtractResult::Failed("cannot open the document");
    char head[64] = {};
    std::size_t n = std::fread(head, 1, sizeof head, f.get());
    std::string_view h(head, n);
    if (h.starts_with("\xEF\xBB\xBF")) h.remove_prefix(3);
    while (!h.empty() && (h[0] == ' ' || h[0] == '\t' || h[0] == '\r' || h[0] == '\n')) h.remove_prefix(1);
    if (!h.starts_with("{\\rtf")) return ExtractResult::UnknownFormat("the file does not start with {\\rtf");
    std::rewind(f.get());
    ByteReader reader(f.get());
    RtfParser parser(reader, sink);
    return parser.Run();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateRtfFilter() { return std::make_unique<RtfFilter>(); }

}  // namespace quarn
