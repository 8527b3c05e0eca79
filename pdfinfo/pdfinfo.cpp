#include "pdfinfo/pdfinfo.h"

#include <cstring>

extern "C" {

int GetDocInfo(const char*, char* info) {
  if (info) info[0] = 0;
  return 0;
}

char* GetTextContentFormated(const char*, int, int) { return nullptr; }

}
