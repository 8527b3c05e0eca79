// List numbers and bullets of a Word document: the definitions of
// numbering.xml and the list styles of styles.xml, and the counters that turn
// a numbered paragraph into the label a reader sees ("3.", "b)", "1.2.", "•").
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/package/zip_archive.h"
#include "convert/filters/common/list_label.h"

namespace quarn::docx {

// The numbering a paragraph asks for in its properties; num_id < 0 when it
// names none (and then its style's numbering applies), 0 when it turns its
// style's numbering off.
struct NumberingRef {
  int num_id = -1;
  int level = -1;  // -1: not given (level 0, or the style's level)
  std::string style;
};

class Numbering {
 public:
  static constexpr int kLevels = 9;

  // Reads the numbering and styles parts (either may be empty or missing:
  // then no paragraph gets a label).  False with *error set when a part
  // exists but cannot be read through; what was read before stays usable.
  bool Load(ZipArchive& zip, const std::string& numbering_part, const std::string& styles_part, std::string* error);

  // The label of the next paragraph that carries ref, counted in document
  // order, followed by a space; "" when the paragraph is not numbered.
  std::string Next(const NumberingRef& ref);

 private:
  struct Level {
    int start = 1;
    std::string format = "decimal";  // w:numFmt
    std::string text;                // w:lvlText, "%1." and the like
    bool legal = false;              // w:isLgl: every number in decimal
    bool defined = false;
  };
  struct Abstract {
    Level levels[kLevels];
    std::string style_link;  // w:numStyleLink: the definition lives with a list style
  };
  struct Instance {
    int abstract_id = -1;
    std::map<int, int> start_override;  // level -> start
    std::map<int, Level> level_override;
    ListCounters counters;
  };
  struct StyleNum {
    int num_id = -1;
    int level = -1;
    std::string based_on;
  };

  bool LoadNumbering(ZipArchive& zip, const std::string& part, std::string* error);
  bool LoadStyles(ZipArchive& zip, const std::string& part, std::string* error);
  // The numbering a style gives its paragraphs, following basedOn.
  StyleNum ResolveStyle(const std::string& style) const;
  const Level* LevelOf(const Instance& inst, int level) const;

  std::map<int, Abstract> abstracts_;
  std::map<int, Instance> instances_;
  std::map<std::string, StyleNum, std::less<>> styles_;
};

}  // namespace quarn::docx
