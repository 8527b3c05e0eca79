// OpenDocument data styles (number:number-style, number:date-style and the
// like) as spreadsheet format codes for the shared number-format engine, so
// that a cell written with its value only (no paragraph showing it, as some
// generators write them) is shown as its style says.  Used by the
// OpenDocument filter, one object per document.
#pragma once

#include <libxml/xmlreader.h>

#include <map>
#include <string>
#include <string_view>

#include "convert/filters/common/number_format.h"

namespace quarn::odf {

class NumberStyles {
 public:
  // Feeds one element start of a styles element, the reader on it (every
  // element, in document order).
  void Element(xmlTextReaderPtr r);
  // Ends the style being read; call when the styles element ends.
  void Flush();

  // The format code of a data style ("#,##0.00", "d-mmm-yyyy"), or "".
  std::string Code(std::string_view name) const;
  // A cell's value as its data style shows it.  type is office:value-type;
  // value the office:value, date-value, time-value or boolean-value as
  // written.  Empty when the type is not one this reads.
  std::string Show(std::string_view type, std::string_view value, std::string_view data_style) const;

 private:
  struct Building {
    std::string name;
    std::string code;
    std::string positive;  // style:map for value()>=0 (or >0): that style
    bool percentage = false;
    int depth = -1;
  };
  std::map<std::string, std::string, std::less<>> codes_;
  std::map<std::string, std::string, std::less<>> positive_of_;
  Building current_;
};

}  // namespace quarn::odf
