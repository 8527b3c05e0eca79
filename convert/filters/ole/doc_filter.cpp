#include "convert/filters/ole/doc_filter.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/filters/common/list_label.h"
#include "convert/filters/common/phonetic_guide.h"
#include "convert/filters/common/scanned_pictures.h"
#include "convert/filters/common/symbol_font.h"
#include "convert/filters/ole/doc_lists.h"
#include "convert/filters/ole/ole_util.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// Paragraph properties that shape the text: whether the paragraph is inside a
// table, and whether its mark ends a table row.
struct ParaProps {
  bool in_table = false;
  bool row_end = false;
  int ilfo = 0;  // list override, 1-based; 0 for none
  int ilvl = 0;  // list level
  bool has_ilfo = false, has_ilvl = false;  // given by the paragraph itself
  uint16_t istd = 0;                        // the paragraph's style
  // Word 6/95 auto-numbering: the level (1-9 outline, 10 and up a list)
  // and the number's format (ANLD); 0 for none.
  int anm_level = 0;
  std::string_view anld;
};

// The list a paragraph style gives its paragraphs.
struct StyleList {
  int ilfo = 0;
  int ilvl = 0;
};

struct Piece {
  uint32_t cp_start, cp_end;  // character positions [start, end)
  uint32_t fc;                // byte offset of the first character in the WordDocument stream
  bool compressed;            // 8-bit characters rather than UTF-16LE
};

// Calls f(sprm, operand) for each property modifier of a grpprl; stops at
// one that does not fit.
template <typename F>
void ForEachSprm(std::string_view grpprl, F f) {
  for (std::size_t p = 0; p + 2 <= grpprl.size();) {
    uint16_t sprm = Le16(grpprl, p);
    p += 2;
    std::size_t operand;
    switch (sprm >> 13) {
      case 0: case 1: operand = 1; break;
      case 2: case 4: case 5: operand = 2; break;
      case 3: operand = 4; break;
      case 7: operand = 3; break;
      default:  // variable length
        if (sprm == 0xD608 || sprm == 0xC615) operand = 2 + Le16(grpprl, p) - (sprm == 0xD608 ? 1 : 0);
        else operand = 1 + (p < grpprl.size() ? static_cast<unsigned char>(grpprl[p]) : 0);
        break;
    }
    if (p > grpprl.size()) return;
    f(sprm, grpprl.substr(p, operand));
    p += operand;
  }
}

// The operand sizes of Word 6/95's one-byte property modifiers: a size, or
// kVariable for a size byte in front of the operand.  Modifiers missing
// from the table are taken as variable, as most later additions were.
constexpr int kVariable = -1;
// Field codes are kept up to this size: phonetic guides are short.
constexpr std::size_t kMaxFieldCode = 4096;
int Word6OperandSize(unsigned sprm) {
  static constexpr struct {
    unsigned char sprm;
    signed char size;
  } kSizes[] = {
      {2, 2},   {3, -1},  {4, 1},   {5, 1},   {6, 1},   {7, 1},   {8, 1},   {9, 1},   {10, 1},  {11, 1},
      {12, -1}, {13, 1},  {14, 1},  {15, -1}, {16, 2},  {17, 2},  {18, 2},  {19, 2},  {20, 4},  {21, 2},
      {22, 2},  {23, -1}, {24, 1},  {25, 1},  {26, 2},  {27, 2},  {28, 2},  {29, 1},  {30, 2},  {31, 2},
      {32, 2},  {33, 2},  {34, 2},  {35, 2},  {36, 2},  {37, 1},  {38, 2},  {39, 2},  {40, 2},  {41, 2},
      {42, 2},  {43, 2},  {44, 1},  {45, 2},  {46, 2},  {47, 2},  {48, 2},  {49, 2},  {50, 1},  {51, 1},
      {52, 0},  {65, 1},  {66, 1},  {67, 1},  {69, 2},  {70, 4},  {71, 1},  {72, 2},  {73, 3},  {75, 1},
      {80, 2},  {83, 0},  {85, 1},  {86, 1},  {87, 1},  {88, 1},  {89, 1},  {90, 1},  {91, 1},  {92, 1},
      {93, 2},  {94, 1},  {95, 3},  {96, 2},  {97, 2},  {98, 1},  {99, 2},  {100, 1}, {101, 2}, {102, 1},
      {104, 1}, {107, 2}, {109, 2}, {110, 2}, {111, 2}, {112, 2}, {117, 1}, {118, 1}, {119, 1}, {121, 2},
      {122, 2}, {123, 2}, {124, 2}, {131, 1}, {132, 1}, {136, 3}, {137, 3}, {138, 1}, {139, 1}, {140, 2},
      {141, 2}, {142, 1}, {143, 1}, {144, 2}, {145, 2}, {146, 1}, {147, 1}, {148, 2}, {149, 2}, {150, 1},
      {151, 1}, {152, 1}, {153, 1}, {154, 2}, {155, 2}, {156, 2}, {157, 2}, {158, 1}, {159, 1}, {160, 2},
      {161, 2}, {162, 1}, {163, 0}, {164, 2}, {165, 2}, {166, 2}, {167, 2}, {168, 2}, {169, 2}, {170, 2},
      {171, 2}, {182, 2}, {183, 2}, {184, 2}, {185, 1}, {186, 1}, {187, 12}, {189, 2}, {192, 4}, {193, 5},
      {194, 4}, {195, 2}, {196, 4}, {197, 2}, {198, 2}, {199, 5}, {200, 4},
  };
  for (const auto& e : kSizes)
    if (e.sprm == sprm) return e.size;
  return kVariable;
}

// Calls f(sprm, operand) for each property modifier of a Word 6/95 grpprl.
template <typename F>
void ForEachWord6Sprm(std::string_view grpprl, F f) {
  for (std::size_t p = 0; p < grpprl.size();) {
    unsigned sprm = static_cast<unsigned char>(grpprl[p++]);
    if (sprm == 0) continue;  // padding
    std::size_t operand;
    if (sprm == 190) {  // a table definition: a 16-bit size
      operand = Le16(grpprl, p);
      p += 2;
    } else if (int size = Word6OperandSize(sprm); size >= 0) {
      operand = static_cast<std::size_t>(size);
    } else {
      operand = p < grpprl.size() ? static_cast<unsigned char>(grpprl[p]) : 0;
      ++p;
    }
    if (p > grpprl.size()) return;
    f(sprm, grpprl.substr(p, operand));
    p += operand;
  }
}

// Reads length bytes at offset of the document's Data stream (form fields'
// settings, pictures); fewer or none past its end.
using DataReader = std::function<std::string(uint32_t offset, uint32_t length)>;

// What a check box or drop-down form field shows, from its settings (FFData)
// in the Data stream: a version, bits holding the field's type and its
// state (the box checked, the entry selected), then counted UTF-16 strings
// and, for a drop-down, the list of entries last.  A check box shows as a
// box, crossed when checked.
std::string FormFieldShows(std::string_view ff) {
  if (ff.size() < 10 || Le32(ff, 0) != 0xFFFFFFFF) return {};
  const uint16_t bits = Le16(ff, 4);
  const int type = bits & 3;
  if (type != 1 && type != 2) return {};  // a text field shows its result
  const std::size_t selected = (bits >> 2) & 0x1F;
  std::size_t at = 10;
  auto skip_string = [&] {  // a length, the characters and a terminating zero
    at += 2 + 2 * std::size_t{Le16(ff, at)} + 2;
  };
  skip_string();  // the field's name
  const std::size_t fallback = Le16(ff, at);  // the default state
  at += 2;
  if (type == 1) {  // 25 stands for the default
    const bool checked = (selected == 25 ? fallback : selected) != 0;
    return checked ? "\u2612" : "\u2610";
  }
  for (int i = 0; i < 5; ++i) skip_string();  // format, help, status, entry and exit macros
  if (at + 6 > ff.size() || Le16(ff, at) != 0xFFFF) return {};
  const std::size_t count = Le16(ff, at + 2), extra = Le16(ff, at + 4);
  at += 6;
  const std::size_t wanted = selected < count ? selected : fallback < count ? fallback : count;
  for (std::size_t i = 0; i < count && at + 2 <= ff.size(); ++i) {
    const std::size_t cch = Le16(ff, at);
    if (2 * cch > ff.size() - at - 2) return {};
    if (i == wanted) {
      std::string out;
      AppendUtf16Le(ff.substr(at + 2, 2 * cch), out);
      return out;
    }
    at += 2 + 2 * cch + extra;
  }
  return {};
}

// The character a symbol (inserted from a font's character map) stands for;
// 0 for one that has no meaning as text.  An 8-bit code counts as the
// font's own (U+F000 + the code): other symbol fonts' pictures are left out.
char32_t InsertedSymbol(std::string_view font, char32_t code) {
  return SymbolChar(font, code < 0x100 ? code + 0xF000 : code);
}

class WordReader {
 public:
  WordReader(std::string word, std::string table, DataReader data)
      : word_(std::move(word)), table_(std::move(table)), data_(std::move(data)) {}
  // The WordDocument stream, which holds the floating pictures too.
  const std::string& word() const { return word_; }

  // Reads the FIB and the piece table.  Fills *why and returns false when
  // the document cannot be read.
  bool Open(std::string* why, bool* encrypted);
  // Writes the text of the character range [from, to) into sink.
  void EmitRange(uint32_t from, uint32_t to, TextSink& sink);

  // Lengths of the stories, in the order they follow each other.
  uint32_t ccp_text = 0, ccp_ftn = 0, ccp_hdd = 0, ccp_mcr = 0, ccp_atn = 0, ccp_edn = 0, ccp_txbx = 0,
           ccp_hdr_txbx = 0;

 private:
  bool ReadPieces(std::string_view clx);
  // Reads which text a tracked change deleted, and where the data of form
  // fields lies, from the character property pages that the bin table
  // [fc, fc + lcb) of the table stream lists.
  void ReadCharacterRuns(uint32_t fc, uint32_t lcb);
  // Reads the names of the document's fonts (the SttbfFfn at [fc, fc + lcb)).
  void ReadFonts(uint32_t fc, uint32_t lcb);
  // The symbol a character at byte fc stands for, when its run is a symbol
  // run; U+FFFF when it is not.
  char32_t SymbolAt(uint64_t fc) const;
  // The symbol font (Symbol, Wingdings) the character at byte fc is set in,
  // or nullptr.
  const std::string* InSymbolFont(uint64_t fc) const;
  // The text a form field shows whose object character is at byte fc.
  std::string FormFieldText(uint64_t fc);
  bool Deleted(uint64_t fc) const;
  // Reads where the body refers to its footnotes and endnotes (the
  // references' character positions in the plex at [fc, fc + lcb)).
  void ReadNoteReferences(uint32_t fc, uint32_t lcb, bool endnotes);
  ParaProps PropsAt(uint32_t fc);
  // Reads the list properties of the paragraph styles (the STSH).
  void ReadStyles(uint32_t fc, uint32_t lcb);
  StyleList StyleListOf(uint16_t istd) const;
  const std::string* Fkp(uint32_t page);
  ParaProps Word6PropsAt(const std::string& fkp, std::size_t crun, std::size_t run);
  void Flush(TextSink& sink);
  // Writes pending cell tabs before text and notes where a paragraph's text begins.
  void BeginText();
  // Puts the list label, if any, before the paragraph that just ended.
  void EndParagraph(const ParaProps& props);

  std::string word_, table_;
  DataReader data_;
  bool word97_ = true;
  const char* codepage_ = "windows-1252";
  std::vector<Piece> pieces_;
  std::vector<uint32_t> bte_fc_;     // FC boundaries of the paragraph property pages
  std::vector<uint32_t> bte_page_;   // page number of each range
  std::map<uint32_t, std::string> fkp_cache_;
  WordLists lists_;
  AutoNumbering auto_numbers_;  // Word 6/95
  struct Style {
    uint16_t base = 0x0FFF;  // the style it is based on; 0x0FFF for none
    int ilfo = 0, ilvl = 0;
    bool has_ilfo = false, has_ilvl = false;
  };
  std::vector<Style> styles_;

  // Output state, across pieces.
  std::string line_;
  // Byte ranges [first, second) of the WordDocument stream holding text that
  // a tracked change deleted, sorted and apart.
  std::vector<std::pair<uint32_t, uint32_t>> deleted_;
  // Runs [first, last) of the WordDocument stream whose object characters
  // keep their data at an offset of the Data stream, sorted by first.
  struct DataRun {
    uint32_t first, last, offset;
  };
  std::vector<DataRun> data_runs_;
  // Runs whose characters stand for a symbol of a font, sorted by first.
  struct SymbolRun {
    uint32_t first, last;
    uint16_t font;
    char16_t code;
  };
  std::vector<SymbolRun> symbol_runs_;
  struct FontRun {
    uint32_t first, last;
    uint16_t font;
  };
  std::vector<FontRun> symbol_font_runs_;  // runs set in a symbol font, sorted
  std::vector<std::string> fonts_;  // font names by index
  uint64_t field_object_fc_ = UINT64_MAX;  // the object character of the innermost field's code
  std::map<uint32_t, std::string> form_fields_;  // the entry shown, by offset of the field's settings
  // The body's automatically numbered note references, by character
  // position: true for an endnote.  A note's own text starts with its mark
  // too; marks are numbered as the references are, footnotes 1, 2, 3 and
  // endnotes i, ii, iii (Word's defaults).
  std::map<uint32_t, bool> note_refs_;
  int footnote_refs_ = 0, endnote_refs_ = 0;  // marks written in the body
  int footnote_marks_ = 0, endnote_marks_ = 0;  // marks written in the notes
  std::vector<bool> fields_;  // per open field: true once its result part began
  std::string field_code_;    // the code of the innermost field, while it is read
  int pending_cells_ = 0;     // cell ends not yet written as tabs
  // Where the current paragraph's text begins in line_: its list label goes
  // there once the paragraph mark says which list it belongs to.
  static constexpr std::size_t kNoText = std::string::npos, kLabelLost = std::string::npos - 1;
  std::size_t para_start_ = kNoText;
  bool last_was_cell_ = false;
  bool last_blank_ = true;    // the text so far ends with an empty line (or is empty)
};

bool WordReader::Open(std::string* why, bool* encrypted) {
  *encrypted = false;
  if (word_.size() < 0x60) {
    *why = "the WordDocument stream is too short";
    return false;
  }
  uint16_t ident = Le16(word_, 0);
  uint16_t nfib = Le16(word_, 2);
  uint16_t lid = Le16(word_, 6);
  uint16_t flags = Le16(word_, 10);
  if (ident != 0xA5EC && ident != 0xA5DC) {
    *why = "not a Word document (unexpected file information block)";
    return false;
  }
  if (flags & 0x0100 || flags & 0x8000) {  // fEncrypted, fObfuscated
    *encrypted = true;
    return false;
  }
  codepage_ = CodePageForLanguageId(lid);
  word97_ = nfib >= 0x00C1 || ident == 0xA5EC;
  if (nfib < 101) {
    *why = "Word " + std::to_string(nfib < 45 ? 1 : 2) + " documents are not supported";
    return false;
  }
  if (word97_ && nfib >= 0x00C1) {
    // FibBase (32 bytes), the 16-bit array, the 32-bit array, then the
    // offset/length pairs; their sizes are stored so later versions can grow them.
    std::size_t csw = Le16(word_, 32);
    std::size_t lw = 34 + 2 * csw;
    std::size_t cslw = Le16(word_, lw);
    std::size_t rglw = lw + 2;
    std::size_t blob = rglw + 4 * cslw + 2;
    ccp_text = Le32(word_, rglw + 12);
    ccp_ftn = Le32(word_, rglw + 16);
    ccp_hdd = Le32(word_, rglw + 20);
    ccp_mcr = Le32(word_, rglw + 24);
    ccp_atn = Le32(word_, rglw + 28);
    ccp_edn = Le32(word_, rglw + 32);
    ccp_txbx = Le32(word_, rglw + 36);
    ccp_hdr_txbx = Le32(word_, rglw + 40);
    uint32_t fc_clx = Le32(word_, blob + 33 * 8), lcb_clx = Le32(word_, blob + 33 * 8 + 4);
    uint32_t fc_bte = Le32(word_, blob + 13 * 8), lcb_bte = Le32(word_, blob + 13 * 8 + 4);  // PlcfBtePapx
    ReadFonts(Le32(word_, blob + 15 * 8), Le32(word_, blob + 15 * 8 + 4));                    // SttbfFfn
    ReadCharacterRuns(Le32(word_, blob + 12 * 8), Le32(word_, blob + 12 * 8 + 4));            // PlcfBteChpx
    ReadNoteReferences(Le32(word_, blob + 2 * 8), Le32(word_, blob + 2 * 8 + 4), false);      // PlcffndRef
    if (Le16(word_, blob - 2) > 47)
      ReadNoteReferences(Le32(word_, blob + 46 * 8), Le32(word_, blob + 46 * 8 + 4), true);   // PlcfendRef
    if (table_.empty()) {
      *why = "the document's table stream is missing";
      return false;
    }
    if (fc_clx >= table_.size() || lcb_clx > table_.size() - fc_clx ||
        !ReadPieces(std::string_view(table_).substr(fc_clx, lcb_clx))) {
      *why = "the document's piece table is damaged";
      return false;
    }
    if (Le16(word_, blob - 2) >= 75) {  // PlfLst and PlfLfo: list definitions and overrides
      ReadStyles(Le32(word_, blob + 1 * 8), Le32(word_, blob + 1 * 8 + 4));
      lists_.Load(table_, Le32(word_, blob + 73 * 8), Le32(word_, blob + 73 * 8 + 4), Le32(word_, blob + 74 * 8),
                  Le32(word_, blob + 74 * 8 + 4));
    }
    if (fc_bte < table_.size() && lcb_bte <= table_.size() - fc_bte && lcb_bte >= 4) {
      std::size_t n = (lcb_bte - 4) / 8;
      for (std::size_t i = 0; i <= n; ++i) bte_fc_.push_back(Le32(table_, fc_bte + 4 * i));
      for (std::size_t i = 0; i < n; ++i) bte_page_.push_back(Le32(table_, fc_bte + 4 * (n + 1) + 4 * i));
    }
    return true;
  }
  // Word 6/95: one stream, 8-bit text; the piece table is in the WordDocument
  // stream itself when the file was fast-saved.
  ccp_text = Le32(word_, 0x34);
  ccp_ftn = Le32(word_, 0x38);
  ccp_hdd = Le32(word_, 0x3C);
  ccp_mcr = Le32(word_, 0x40);
  ccp_atn = Le32(word_, 0x44);
  ccp_edn = Le32(word_, 0x48);
  ccp_txbx = Le32(word_, 0x4C);
  ccp_hdr_txbx = Le32(word_, 0x50);
  uint32_t fc_min = Le32(word_, 0x18);
  bool complex = flags & 0x0004;
  // The paragraph property pages: their FC boundaries, then 16-bit page numbers.
  if (uint32_t fc_bte = Le32(word_, 0xC0), lcb_bte = Le32(word_, 0xC4);
      fc_bte < word_.size() && lcb_bte <= word_.size() - fc_bte && lcb_bte >= 4) {
    std::size_t n = (lcb_bte - 4) / 6;
    for (std::size_t i = 0; i <= n; ++i) bte_fc_.push_back(Le32(word_, fc_bte + 4 * i));
    for (std::size_t i = 0; i < n; ++i) bte_page_.push_back(Le16(word_, fc_bte + 4 * (n + 1) + 2 * i));
  }
  if (complex) {
    uint32_t fc_clx = Le32(word_, 0x160), lcb_clx = Le32(word_, 0x164);
    if (fc_clx < word_.size() && lcb_clx <= word_.size() - fc_clx &&
        ReadPieces(std::string_view(word_).substr(fc_clx, lcb_clx))) {
      for (Piece& p : pieces_) p.compressed = true;
      return true;
    }
    pieces_.clear();
  }
  uint32_t total = ccp_text + ccp_ftn + ccp_hdd + ccp_mcr + ccp_atn + ccp_edn + ccp_txbx + ccp_hdr_txbx;
  if (fc_min >= word_.size()) {
    *why = "the document's text lies outside its stream";
    return false;
  }
  total = std::min<uint32_t>(total, static_cast<uint32_t>(word_.size() - fc_min));
  pieces_.push_back({0, total, fc_min, true});
  return true;
}

bool WordReader::ReadPieces(std::string_view clx) {
  std::size_t pos = 0;
  while (pos < clx.size()) {
    unsigned char type = static_cast<unsigned char>(clx[pos]);
    if (type == 1) {  // Prc: formatting, skipped
      pos += 3 + Le16(clx, pos + 1);
    } else if (type == 2) {
      uint32_t lcb = Le32(clx, pos + 1);
      std::string_view plc = clx.substr(std::min(clx.size(), pos + 5));
      if (lcb > plc.size() || lcb < 4) return false;
      std::size_t n = (lcb - 4) / 12;
      for (std::size_t i = 0; i < n; ++i) {
        uint32_t start = Le32(plc, 4 * i), end = Le32(plc, 4 * (i + 1));
        uint32_t fc = Le32(plc, 4 * (n + 1) + 8 * i + 2);
        bool compressed = fc & 0x40000000;
        if (compressed) fc = (fc & ~0x40000000u) / 2;
        if (end > start) pieces_.push_back({start, end, fc, compressed});
      }
      return !pieces_.empty();
    } else {
      return false;
    }
  }
  return false;
}

void WordReader::ReadCharacterRuns(uint32_t fc, uint32_t lcb) {
  std::string_view t = table_;
  if (fc >= t.size() || lcb > t.size() - fc || lcb < 12) return;
  std::size_t n = (lcb - 4) / 8;
  // Each page is read once, however often a damaged table names it.
  std::vector<uint32_t> pages;
  for (std::size_t i = 0; i < n; ++i) pages.push_back(Le32(t, fc + 4 * (n + 1) + 4 * i) & 0x3FFFFF);
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  for (uint32_t page : pages) {
    uint64_t off = static_cast<uint64_t>(page) * 512;
    if (off + 512 > word_.size()) continue;
    std::string_view fkp = std::string_view(word_).substr(off, 512);
    // A character property page: crun + 1 boundaries, then for each run the
    // word offset of its properties (a size byte and the modifiers); 0 for none.
    std::size_t crun = static_cast<unsigned char>(fkp[511]);
    if (crun == 0 || 4 * (crun + 1) + crun > 511) continue;
    for (std::size_t i = 0; i < crun; ++i) {
      std::size_t at = 2 * static_cast<std::size_t>(static_cast<unsigned char>(fkp[4 * (crun + 1) + i]));
      if (at == 0 || at >= 511) continue;
      std::size_t cb = static_cast<unsigned char>(fkp[at]);
      if (at + 1 + cb > 511) continue;
      bool deleted = false, has_data = false, symbol = false;
      uint32_t data_offset = 0;
      uint16_t symbol_font = 0;
      char16_t symbol_code = 0;
      int symbol_font_run = -1;
      ForEachSprm(fkp.substr(at + 1, cb), [&](uint16_t sprm, std::string_view operand) {
        if (sprm == 0x0800) deleted = !operand.empty() && operand[0] != 0;  // sprmCFRMarkDel
        if (sprm == 0x6A03 && operand.size() == 4) {                         // sprmCPicLocation
          data_offset = Le32(operand, 0);
          has_data = true;
        }
        if (sprm == 0x4A4F && operand.size() == 2) {  // sprmCRgFtc0: the font of ASCII text
          const uint16_t font = Le16(operand, 0);
          symbol_font_run = font < fonts_.size() && IsSymbolFont(fonts_[font]) ? font : -1;
        }
        if (sprm == 0x6A09 && operand.size() == 4) {  // sprmCSymbol: the font and the character
          symbol_font = Le16(operand, 0);
          symbol_code = Le16(operand, 2);
          symbol = true;
        }
      });
      uint32_t first = Le32(fkp, 4 * i), last = Le32(fkp, 4 * (i + 1));
      if (deleted && first < last) deleted_.emplace_back(first, last);
      if (has_data && first < last && data_runs_.size() < 1000000) data_runs_.push_back({first, last, data_offset});
      if (symbol && first < last && symbol_runs_.size() < 1000000)
        symbol_runs_.push_back({first, last, symbol_font, symbol_code});
      if (symbol_font_run >= 0 && first < last && symbol_font_runs_.size() < 1000000)
        symbol_font_runs_.push_back({first, last, static_cast<uint16_t>(symbol_font_run)});
    }
  }
  std::sort(deleted_.begin(), deleted_.end());
  std::vector<std::pair<uint32_t, uint32_t>> merged;
  for (const auto& r : deleted_) {
    if (!merged.empty() && r.first <= merged.back().second)
      merged.back().second = std::max(merged.back().second, r.second);
    else
      merged.push_back(r);
  }
  deleted_.swap(merged);
  std::sort(data_runs_.begin(), data_runs_.end(), [](const DataRun& a, const DataRun& b) { return a.first < b.first; });
  std::sort(symbol_runs_.begin(), symbol_runs_.end(),
            [](const SymbolRun& a, const SymbolRun& b) { return a.first < b.first; });
  std::sort(symbol_font_runs_.begin(), symbol_font_runs_.end(),
            [](const FontRun& a, const FontRun& b) { return a.first < b.first; });
}

const std::string* WordReader::InSymbolFont(uint64_t fc) const {
  if (symbol_font_runs_.empty()) return nullptr;
  auto it = std::upper_bound(symbol_font_runs_.begin(), symbol_font_runs_.end(), fc,
                             [](uint64_t v, const FontRun& r) { return v < r.first; });
  if (it == symbol_font_runs_.begin() || fc >= std::prev(it)->last) return nullptr;
  return &fonts_[std::prev(it)->font];
}

void WordReader::ReadFonts(uint32_t fc, uint32_t lcb) {
  std::string_view t = table_;
  if (fc >= t.size() || lcb > t.size() - fc || lcb < 4) return;
  std::string_view table = t.substr(fc, lcb);
  // A count, a 16-bit size of extra data, then each font: a size byte and
  // that many bytes, the name (UTF-16, ending in a zero) 39 bytes in.
  const std::size_t count = Le16(table, 0);
  for (std::size_t i = 0, at = 4; i < count && at < table.size(); ++i) {
    const std::size_t size = static_cast<unsigned char>(table[at]);
    std::string name;
    if (size > 39 && at + 1 + size <= table.size()) {
      std::string_view chars = table.substr(at + 40, size - 39);
      for (std::size_t k = 0; k + 1 < chars.size(); k += 2)
        if (Le16(chars, k) == 0) {
          chars = chars.substr(0, k);
          break;
        }
      AppendUtf16Le(chars.substr(0, chars.size() & ~std::size_t{1}), name);
    }
    fonts_.push_back(std::move(name));
    at += 1 + size;
  }
}

char32_t WordReader::SymbolAt(uint64_t fc) const {
  auto it = std::upper_bound(symbol_runs_.begin(), symbol_runs_.end(), fc,
                             [](uint64_t v, const SymbolRun& r) { return v < r.first; });
  if (it == symbol_runs_.begin() || fc >= std::prev(it)->last) return 0xFFFF;
  const SymbolRun& run = *std::prev(it);
  return InsertedSymbol(run.font < fonts_.size() ? std::string_view(fonts_[run.font]) : std::string_view(), run.code);
}

std::string WordReader::FormFieldText(uint64_t fc) {
  if (!data_ || data_runs_.empty()) return {};
  auto it = std::upper_bound(data_runs_.begin(), data_runs_.end(), fc,
                             [](uint64_t v, const DataRun& r) { return v < r.first; });
  if (it == data_runs_.begin() || fc >= std::prev(it)->last) return {};
  // The data: its length, the length of a header to pass over, then the field's settings.
  // Each field's settings are read once; a document naming more than a few
  // thousand (a damaged or hostile one) shows the rest empty.
  const uint32_t offset = std::prev(it)->offset;
  auto known = form_fields_.find(offset);
  if (known != form_fields_.end()) return known->second;
  if (form_fields_.size() >= 10000) return {};
  std::string& entry = form_fields_[offset];
  const std::string head = data_(offset, 6);
  const uint32_t total = Le32(head, 0), header = Le16(head, 4);
  if (head.size() == 6 && total > header && total <= 32768)
    entry = FormFieldShows(data_(offset + header, total - header));
  return entry;
}

void WordReader::ReadNoteReferences(uint32_t fc, uint32_t lcb, bool endnotes) {
  std::string_view t = table_;
  if (fc >= t.size() || lcb > t.size() - fc || lcb < 10) return;
  // n + 1 character positions, then n two-byte descriptors: non-zero for a
  // reference Word numbers itself (a custom mark is text of its own).
  const std::size_t n = (lcb - 4) / 6;
  for (std::size_t i = 0; i < n && note_refs_.size() < 1000000; ++i)
    if (Le16(t, fc + 4 * (n + 1) + 2 * i) != 0) note_refs_.emplace(Le32(t, fc + 4 * i), endnotes);
}

bool WordReader::Deleted(uint64_t fc) const {
  if (deleted_.empty()) return false;
  auto it = std::upper_bound(deleted_.begin(), deleted_.end(), fc,
                             [](uint64_t v, const std::pair<uint32_t, uint32_t>& r) { return v < r.first; });
  return it != deleted_.begin() && fc < std::prev(it)->second;
}

const std::string* WordReader::Fkp(uint32_t page) {
  auto it = fkp_cache_.find(page);
  if (it != fkp_cache_.end()) return &it->second;
  uint64_t off = static_cast<uint64_t>(page) * 512;
  if (off + 512 > word_.size()) return nullptr;
  if (fkp_cache_.size() > 4096) fkp_cache_.clear();
  return &fkp_cache_.emplace(page, word_.substr(off, 512)).first->second;
}

void WordReader::ReadStyles(uint32_t fc, uint32_t lcb) {
  std::string_view t = table_;
  if (fc >= t.size() || lcb > t.size() - fc || lcb < 4) return;
  std::string_view stsh = t.substr(fc, lcb);
  std::size_t cb_stshi = Le16(stsh, 0);
  if (cb_stshi < 4 || 2 + cb_stshi > stsh.size()) return;
  std::size_t count = Le16(stsh, 2), base_size = Le16(stsh, 4);
  if (base_size < 10) return;
  std::size_t pos = 2 + cb_stshi;
  for (std::size_t i = 0; i < count && pos + 2 <= stsh.size(); ++i) {
    std::size_t cb = Le16(stsh, pos);
    pos += 2;
    if (cb > stsh.size() - pos) break;
    std::string_view entry = stsh.substr(pos, cb);
    pos += cb;
    Style style;
    if (cb >= base_size) {
      uint16_t kind_base = Le16(entry, 2);
      style.base = kind_base >> 4;
      bool paragraph = (kind_base & 0x0F) == 1;
      // The name (a length, the characters, a terminating zero), then the
      // paragraph properties: their length, the style index, the sprms.
      std::size_t at = base_size;
      std::size_t cch = Le16(entry, at);
      at += 2 + 2 * cch + 2;
      if (paragraph && at + 2 <= entry.size()) {
        std::size_t cb_upx = Le16(entry, at);
        if (cb_upx >= 2 && cb_upx <= entry.size() - at - 2) {
          ForEachSprm(entry.substr(at + 4, cb_upx - 2), [&](uint16_t sprm, std::string_view operand) {
            if (sprm == 0x460B) {
              style.ilfo = static_cast<int16_t>(Le16(operand, 0));
              style.has_ilfo = true;
            } else if (sprm == 0x260A) {
              style.ilvl = operand.empty() ? 0 : static_cast<unsigned char>(operand[0]);
              style.has_ilvl = true;
            }
          });
        }
      }
    }
    styles_.push_back(style);
  }
}

StyleList WordReader::StyleListOf(uint16_t istd) const {
  StyleList list;
  bool has_ilfo = false, has_ilvl = false;
  // Styles inherit from the style they are based on; chains are short, and
  // a loop in a damaged file ends here.
  for (int hops = 0; hops < 16 && istd < styles_.size() && !(has_ilfo && has_ilvl); ++hops) {
    const Style& s = styles_[istd];
    if (!has_ilfo && s.has_ilfo) {
      list.ilfo = s.ilfo;
      has_ilfo = true;
    }
    if (!has_ilvl && s.has_ilvl) {
      list.ilvl = s.ilvl;
      has_ilvl = true;
    }
    istd = s.base;
  }
  return list;
}

// Finds the paragraph whose mark is at byte offset fc and reads the two table
// properties from its sprms.
ParaProps WordReader::PropsAt(uint32_t fc) {
  ParaProps props;
  if (bte_page_.empty()) return props;
  auto it = std::upper_bound(bte_fc_.begin(), bte_fc_.end(), fc);
  if (it == bte_fc_.begin()) return props;
  std::size_t idx = static_cast<std::size_t>(it - bte_fc_.begin()) - 1;
  if (idx >= bte_page_.size()) return props;
  const std::string* fkp = Fkp(bte_page_[idx] & 0x3FFFFF);
  if (!fkp) return props;
  std::size_t crun = static_cast<unsigned char>((*fkp)[511]);
  if (crun == 0 || 4 * (crun + 1) + (word97_ ? 13 : 7) * crun > 511) return props;
  std::size_t run = crun;
  for (std::size_t i = 0; i < crun; ++i) {
    if (fc >= Le32(*fkp, 4 * i) && fc < Le32(*fkp, 4 * (i + 1))) {
      run = i;
      break;
    }
  }
  if (run == crun) return props;
  if (!word97_) return Word6PropsAt(*fkp, crun, run);
  std::size_t at = 2 * static_cast<std::size_t>(static_cast<unsigned char>((*fkp)[4 * (crun + 1) + 13 * run]));
  if (at == 0 || at >= 511) return props;
  std::size_t cb = static_cast<unsigned char>((*fkp)[at]);
  std::size_t start, len;
  if (cb == 0) {
    if (at + 1 >= 511) return props;
    len = 2 * static_cast<std::size_t>(static_cast<unsigned char>((*fkp)[at + 1]));
    start = at + 2;
  } else {
    len = 2 * cb - 1;
    start = at + 1;
  }
  if (start + len > 511) len = 511 - start;
  if (len < 2) return props;
  props.istd = Le16(*fkp, start);
  std::string_view grpprl = std::string_view(*fkp).substr(start + 2, len - 2);  // after the style index
  ForEachSprm(grpprl, [&](uint16_t sprm, std::string_view operand) {
    unsigned char value = operand.empty() ? 0 : static_cast<unsigned char>(operand[0]);
    if (sprm == 0x2416 || sprm == 0x6649) props.in_table = props.in_table || value;  // sprmPFInTable, sprmPItap
    if (sprm == 0x2417 || sprm == 0x244C) props.row_end = props.row_end || value;    // sprmPFTtp, sprmPFInnerTtp
    if (sprm == 0x460B) {                                                             // sprmPIlfo
      props.ilfo = static_cast<int16_t>(Le16(operand, 0));
      props.has_ilfo = true;
    }
    if (sprm == 0x260A) {  // sprmPIlvl
      props.ilvl = value;
      props.has_ilvl = true;
    }
  });
  if (!props.has_ilfo || !props.has_ilvl) {
    // The paragraph's style may number it (list and heading styles).
    StyleList from_style = StyleListOf(props.istd);
    if (!props.has_ilfo) props.ilfo = from_style.ilfo;
    if (!props.has_ilvl) props.ilvl = from_style.ilvl;
  }
  return props;
}

// A Word 6/95 property page: 7-byte entries, each paragraph's properties a
// word count, the style and one-byte modifiers.
ParaProps WordReader::Word6PropsAt(const std::string& fkp, std::size_t crun, std::size_t run) {
  ParaProps props;
  std::size_t at = 2 * static_cast<std::size_t>(static_cast<unsigned char>(fkp[4 * (crun + 1) + 7 * run]));
  if (at == 0 || at >= 511) return props;
  std::size_t len = 2 * static_cast<std::size_t>(static_cast<unsigned char>(fkp[at]));
  std::size_t start = at + 1;
  if (start + len > 511) len = 511 - start;
  if (len < 2) return props;
  props.istd = Le16(fkp, start);
  ForEachWord6Sprm(std::string_view(fkp).substr(start + 2, len - 2), [&](unsigned sprm, std::string_view operand) {
    unsigned char value = operand.empty() ? 0 : static_cast<unsigned char>(operand[0]);
    if (sprm == 24) props.in_table = props.in_table || value;  // sprmPFInTable
    if (sprm == 25) props.row_end = props.row_end || value;    // sprmPTtp
    if (sprm == 13) props.anm_level = value;                   // sprmPNLvlAnm
    if (sprm == 12) props.anld = operand;                      // sprmPAnld
  });
  return props;
}

void WordReader::BeginText() {
  if (pending_cells_) {
    line_.append(static_cast<std::size_t>(pending_cells_), '\t');
    pending_cells_ = 0;
  }
  if (para_start_ == kNoText) para_start_ = line_.size();
}

void WordReader::EndParagraph(const ParaProps& props) {
  std::string label;
  if (props.ilfo > 0 && !lists_.empty()) {
    label = lists_.Next(props.ilfo, props.ilvl);
  } else if (!word97_) {
    if (props.anm_level > 0 && !props.anld.empty()) label = auto_numbers_.Next(props.anm_level, props.anld, codepage_);
    else if (para_start_ != kNoText) auto_numbers_.Break();
  }
  if (!label.empty() && para_start_ != kLabelLost) line_.insert(para_start_ == kNoText ? line_.size() : para_start_, label);
  para_start_ = kNoText;
}

void WordReader::Flush(TextSink& sink) {
  // Empty paragraphs in a row (spacing, empty header stories) become one.
  bool blank = line_ == "\n" || line_ == " \n";
  if (!(blank && last_blank_)) sink.Append(line_);
  if (!line_.empty()) last_blank_ = blank;
  line_.clear();
}

void WordReader::EmitRange(uint32_t from, uint32_t to, TextSink& sink) {
  fields_.clear();
  pending_cells_ = 0;
  para_start_ = kNoText;
  for (const Piece& piece : pieces_) {
    if (sink.full()) return;
    uint32_t a = std::max(from, piece.cp_start), b = std::min(to, piece.cp_end);
    if (a >= b) continue;
    std::size_t unit = piece.compressed ? 1 : 2;
    for (uint32_t cp = a; cp < b; ++cp) {
      uint64_t fc = piece.fc + static_cast<uint64_t>(cp - piece.cp_start) * unit;
      if (fc + unit > word_.size()) break;
      // The text as it reads with its changes accepted: characters a
      // tracked change deleted are left out (fields whole, as their marks
      // are deleted with them).  Deleted paragraph and cell marks still end
      // their paragraph or cell, so no two words run together.
      const bool deleted = Deleted(fc);
      char32_t c;
      if (piece.compressed) {
        unsigned char byte = static_cast<unsigned char>(word_[fc]);
        if (byte < 0x80) {
          c = byte;
        } else if (deleted) {
          continue;
        } else if (InSymbolFont(fc)) {
          c = byte;  // the font's own character, mapped below
        } else {
          std::string decoded = DecodeCharset(std::string_view(&word_[fc], 1), word97_ ? "windows-1252" : codepage_);
          if (!decoded.empty() && (fields_.empty() || fields_.back())) {
            BeginText();
            line_ += decoded;
          } else if (!fields_.empty() && field_code_.size() < kMaxFieldCode) {
            field_code_ += decoded;
          }
          continue;
        }
      } else {
        c = Le16(word_, fc);
        if (c >= 0xD800 && c <= 0xDBFF && cp + 1 < b && fc + 4 <= word_.size()) {
          char32_t low = Le16(word_, fc + 2);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++cp;
          }
        }
      }
      if (deleted && c != 0x0D && c != 0x07) continue;
      bool symbol_done = false;
      if (c == 0x28 && !symbol_runs_.empty()) {
        // A symbol from a font's character map stands in the text as "(".
        if (char32_t symbol = SymbolAt(fc); symbol != 0xFFFF) {
          if (symbol == 0) continue;
          c = symbol;
          symbol_done = true;
        }
      }
      switch (c) {
        case 0x13:  // field begin: its code follows
          fields_.push_back(false);
          field_code_.clear();
          field_object_fc_ = UINT64_MAX;
          continue;
        case 0x14:  // its shown result follows
          if (!fields_.empty()) fields_.back() = true;
          continue;
        case 0x15:
          if (!fields_.empty()) {
            // A phonetic guide without a result shows its base and reading,
            // a drop-down form field its selected entry, a check box its box
            // (its result is empty).
            std::string guide = fields_.back() ? std::string() : PhoneticGuideText(field_code_);
            const std::size_t code = field_code_.find_first_not_of(' ');
            const bool drop_down = code != std::string::npos && field_code_.compare(code, 12, "FORMDROPDOWN") == 0;
            const bool check_box = code != std::string::npos && field_code_.compare(code, 12, "FORMCHECKBOX") == 0;
            if (guide.empty() && field_object_fc_ != UINT64_MAX && ((drop_down && !fields_.back()) || check_box))
              guide = FormFieldText(field_object_fc_);
            if (guide.empty() && !fields_.back())
              guide = SymbolFieldText(field_code_, {}, [](char byte) { return DecodeCharset({&byte, 1}, "windows-1252"); });
            field_object_fc_ = UINT64_MAX;
            fields_.pop_back();
            field_code_.clear();
            if (!guide.empty() && std::all_of(fields_.begin(), fields_.end(), [](bool r) { return r; })) {
              BeginText();
              line_ += guide;
            }
          }
          continue;
        default: break;
      }
      bool shown = std::all_of(fields_.begin(), fields_.end(), [](bool r) { return r; });
      if (!fields_.empty() && !fields_.back() && c >= 0x20 && field_code_.size() < kMaxFieldCode)
        AppendUtf8(c, field_code_);
      if (!fields_.empty() && !fields_.back() && c == 0x01) field_object_fc_ = fc;
      if (c == 0x0D || c == 0x07) {
        if (fields_.size() > 0 && c == 0x0D) {  // a field never spans paragraphs we show
          fields_.clear();
          field_code_.clear();
        }
        ParaProps props = PropsAt(static_cast<uint32_t>(fc));
        // Without paragraph properties (old files) two cell marks in a row
        // end the row.
        if (bte_page_.empty() && c == 0x07 && last_was_cell_) props.row_end = true;
        last_was_cell_ = c == 0x07 && !props.row_end;
        if (!(c == 0x07 && props.row_end)) EndParagraph(props);
        if (c == 0x07 && props.row_end) {
          pending_cells_ = 0;
          line_ += '\n';
          Flush(sink);
        } else if (c == 0x07) {
          ++pending_cells_;
        } else if (props.in_table) {
          line_ += ' ';  // a paragraph inside a cell: keep the row on one line
        } else {
          pending_cells_ = 0;
          line_ += '\n';
          Flush(sink);
        }
        continue;
      }
      last_was_cell_ = false;
      if (!shown) continue;
      if (c == 0x02 && word97_) {
        // An automatically numbered note: its reference in the body, or
        // its mark at the start of its text.
        std::string mark;
        const uint32_t notes = ccp_text + ccp_ftn + ccp_hdd + ccp_mcr + ccp_atn;
        if (cp < ccp_text) {
          if (auto it = note_refs_.find(cp); it != note_refs_.end())
            mark = it->second ? FormatListNumber(++endnote_refs_, "lowerRoman") : std::to_string(++footnote_refs_);
        } else if (cp < ccp_text + ccp_ftn) {
          mark = std::to_string(++footnote_marks_);
        } else if (cp >= notes && cp < notes + ccp_edn) {
          mark = FormatListNumber(++endnote_marks_, "lowerRoman");
        }
        if (!mark.empty()) {
          BeginText();
          line_ += mark;
        }
        continue;
      }
      if (c == 0x0B || c == 0x0C || c == 0x0E) c = '\n';
      else if (c == 0x1E) c = '-';
      else if (c == 0xA0) c = ' ';
      else if (c == 0x1F || c == 0xFEFF) continue;
      else if (c < 0x20 && c != '\t') continue;  // pictures, note references, separators
      if (!symbol_done && ((c > 0x20 && c <= 0xFF) || (c >= 0xF021 && c <= 0xF0FF)))
        if (const std::string* font = InSymbolFont(fc)) {
          // Text typed in a symbol font shows that font's characters (Greek
          // letters for Latin ones, Wingdings' boxes and ticks).
          c = SymbolChar(*font, c & 0xFF);
          if (c == 0) continue;
        }
      BeginText();
      AppendUtf8(c, line_);
      if (line_.size() > 65536) {
        Flush(sink);
        para_start_ = kLabelLost;  // the paragraph's start is written already
      }
    }
  }
  if (!line_.empty() && line_.back() != '\n') line_ += '\n';
  Flush(sink);
}

// The pictures of a document whose body holds no word (a scanned page saved
// as a Word document), read by OCR: the inline ones from the Data stream,
// then the floating ones from the WordDocument stream.
void ReadScannedPictures(GsfInfile* file, const std::string& word, TextSink& sink) {
  PrivateFolder folder;
  std::optional<std::string> data = ReadCompoundStream(file, "Data", std::size_t{256} << 20);
  const std::size_t read = data ? RecognizeOfficeArtPictures(*data, folder, sink) : 0;
  RecognizeOfficeArtPictures(word, folder, sink, kMaxScannedPictures - read);
}

class DocFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "doc", sink)) return *r;
    Sniffed what = SniffContent(path);
    if (what.encrypted_package) return ExtractResult::Password();
    if (what.rights_managed) return ExtractResult::RightsManaged();
    if (what.kind != ContentKind::kCompoundFile)
      return ExtractResult::UnknownFormat("not a Word document: no compound-file signature");
    std::string why;
    CompoundFile file = OpenCompoundFile(path, &why);
    if (!file) return ExtractResult::Failed(why);
    std::optional<std::string> word = ReadCompoundStream(file.get(), "WordDocument");
    if (!word) return ExtractResult::UnknownFormat("not a Word document: no WordDocument stream");
    bool which_table = Le16(*word, 10) & 0x0200;
    std::optional<std::string> table = ReadCompoundStream(file.get(), which_table ? "1Table" : "0Table");
    // The Data stream holds pictures too: only the few bytes asked for are read.
    std::shared_ptr<GsfInput> data(gsf_infile_child_by_name(file.get(), "Data"), GObjectUnref());
    DataReader read_data = [data](uint32_t offset, uint32_t length) {
      std::string out;
      // gsf_input_seek is true when it fails.
      if (!data || offset >= gsf_input_size(data.get()) || gsf_input_seek(data.get(), offset, G_SEEK_SET)) return out;
      out.resize(static_cast<std::size_t>(std::min<gsf_off_t>(length, gsf_input_size(data.get()) - offset)));
      if (!out.empty() && !gsf_input_read(data.get(), out.size(), reinterpret_cast<guint8*>(out.data()))) out.clear();
      return out;
    };
    WordReader reader(std::move(*word), table ? std::move(*table) : std::string(), std::move(read_data));
    bool encrypted = false;
    if (!reader.Open(&why, &encrypted)) {
      if (encrypted) return ExtractResult::Password();
      return ExtractResult::Failed(why);
    }
    // The stories follow each other in character positions: body, footnotes,
    // headers and footers, macros, comments, endnotes, text boxes, header text boxes.
    uint32_t at = 0;
    auto story = [&](uint32_t length, bool show) {
      if (show && length) {
        reader.EmitRange(at, at + length, sink);
        sink.EndChunk();
      }
      at += length;
    };
    story(reader.ccp_text, true);
    // A body of pictures and no words is a scan saved as a document: its
    // pages are read by OCR where the body stands.
    if (!HasWords(sink)) ReadScannedPictures(file.get(), reader.word(), sink);
    // Objects embedded in the text (a workbook, another document) follow it.
    if (std::unique_ptr<GsfInput, GObjectUnref> pool(gsf_infile_child_by_name(file.get(), "ObjectPool"));
        pool && GSF_IS_INFILE(pool.get())) {
      GsfInfile* objects = GSF_INFILE(pool.get());
      for (int i = 0, n = gsf_infile_num_children(objects); i < n && i < 10000 && !sink.full(); ++i) {
        std::unique_ptr<GsfInput, GObjectUnref> object(gsf_infile_child_by_index(objects, i));
        if (object && GSF_IS_INFILE(object.get()) && gsf_infile_num_children(GSF_INFILE(object.get())) >= 0 &&
            ExtractEmbeddedStorage(GSF_INFILE(object.get()), sink))
          sink.EndChunk();
      }
    }
    story(reader.ccp_ftn, true);
    uint32_t hdd_at = at;
    story(reader.ccp_hdd, false);
    story(reader.ccp_mcr, false);
    story(reader.ccp_atn, true);
    story(reader.ccp_edn, true);
    story(reader.ccp_txbx, true);
    story(reader.ccp_hdr_txbx, true);
    if (reader.ccp_hdd) {  // headers and footers last: they repeat on every page
      reader.EmitRange(hdd_at, hdd_at + reader.ccp_hdd, sink);
      sink.EndChunk();
    }
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateDocFilter() { return std::make_unique<DocFilter>(); }

}  // namespace quarn
