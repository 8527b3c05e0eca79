#include "convert/filters/image/ocr.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <set>

#include "convert/conversion_options.h"
#include "convert/filters/builtin_filter.h"
#include "convert/filters/image/pix.h"

namespace quarn {

namespace {

using Clock = std::chrono::steady_clock;

// Pictures larger than this are scaled down before recognition: Tesseract
// needs several bytes per pixel, and sides past 32767 pixels it refuses.
constexpr double kMaxOcrPixels = 40e6;
constexpr int kMaxOcrSide = 30000;
// Below this mean word confidence the page may lie on its side or upside
// down, and orientation detection is worth its time; upright pages of
// ordinary print score well above it.
constexpr int kDoubtfulConfidence = 60;
// Orientation detection's confidence needed to turn a page.
constexpr float kTurnConfidence = 2.0f;

struct TessDeleter {
  void operator()(tesseract::TessBaseAPI* api) const {
    api->End();
    delete api;
  }
};
using Tess = std::unique_ptr<tesseract::TessBaseAPI, TessDeleter>;

// Held while an engine is made: Tesseract keeps some parameters (the debug
// file among them) in globals that its set-up writes.
std::mutex& CreationLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Tesseract writes its notices ("Estimating resolution", missing data files)
// to its debug file, standard error by default; problems are reported in
// results instead.  Call with CreationLock held.
Tess NewTess() {
  Tess api(new tesseract::TessBaseAPI);
  api->SetVariable("debug_file", "/dev/null");
  return api;
}

std::vector<std::string> SplitLanguages(const std::string& languages) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= languages.size()) {
    std::size_t plus = languages.find('+', start);
    if (plus == std::string::npos) plus = languages.size();
    std::string lang = languages.substr(start, plus - start);
    if (!lang.empty() && lang[0] == '~') lang.erase(0, 1);
    if (!lang.empty()) out.push_back(lang);
    start = plus + 1;
  }
  return out;
}

// A language name Tesseract may be given: letters, digits, "_" and "-",
// with one "script/" folder at most; never a path out of its data folder.
bool PlainLanguageName(const std::string& lang) {
  if (lang.empty() || lang.size() > 64 || lang.find("..") != std::string::npos) return false;
  std::size_t slashes = 0;
  for (char c : lang) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '/';
    if (!ok) return false;
    if (c == '/') ++slashes;
  }
  return slashes == 0 || (slashes == 1 && lang.rfind("script/", 0) == 0);
}

std::string MissingLanguagesMessage(const std::vector<std::string>& missing) {
  std::string names, packages;
  for (const std::string& m : missing) {
    if (!names.empty()) {
      names += ", ";
      packages += " ";
    }
    names += "\"" + m + "\"";
    packages += OcrLanguagePackage(m);
  }
  return std::string(missing.size() > 1 ? "the OCR languages " : "the OCR language ") + names +
         (missing.size() > 1 ? " are" : " is") + " not installed (install " + packages + ")";
}

// One worker's Tesseract: the recognition engine for the run's languages and,
// made when a page first looks turned, the orientation detector.
struct Engine {
  std::string languages;
  Tess recognizer;
  Tess orientation;
  bool orientation_missing = false;

  // The engine, or nullptr with why in *problem.
  static std::unique_ptr<Engine> Create(const std::string& languages, std::string* problem) {
    const std::vector<std::string> wanted = SplitLanguages(languages);
    if (wanted.empty()) {
      *problem = "no OCR language is set";
      return nullptr;
    }
    for (const std::string& lang : wanted) {
      if (!PlainLanguageName(lang)) {
        *problem = "\"" + lang + "\" is not an OCR language name";
        return nullptr;
      }
    }
    std::lock_guard hold(CreationLock());
    auto engine = std::make_unique<Engine>();
    engine->languages = languages;
    engine->recognizer = NewTess();
    const int failed = engine->recognizer->Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY);
    // Init succeeds when any one of the languages loads: check every one.
    std::vector<std::string> loaded;
    if (failed == 0) engine->recognizer->GetLoadedLanguagesAsVector(&loaded);
    std::vector<std::string> missing;
    for (const std::string& lang : wanted)
      if (std::find(loaded.begin(), loaded.end(), lang) == loaded.end()) missing.push_back(lang);
    if (!missing.empty()) {
      *problem = MissingLanguagesMessage(missing);
      return nullptr;
    }
    engine->recognizer->SetPageSegMode(tesseract::PSM_AUTO);
    return engine;
  }

  // The orientation detector, or nullptr when its data is not installed.
  tesseract::TessBaseAPI* Orientation() {
    if (!orientation && !orientation_missing) {
      std::lock_guard hold(CreationLock());
      Tess osd = NewTess();
      if (osd->Init(nullptr, "osd", tesseract::OEM_TESSERACT_ONLY) == 0) {
        osd->SetPageSegMode(tesseract::PSM_OSD_ONLY);
        orientation = std::move(osd);
      } else {
        orientation_missing = true;
      }
    }
    return orientation.get();
  }
};

// Engines not in use.  A thread borrows one for a page and gives it back, so
// each worker (and the helper that shares a long scan's pages) keeps reusing
// the engines made for the first pages, whichever thread made them.
class EnginePool {
 public:
  std::unique_ptr<Engine> Borrow(const std::string& languages, std::string* problem) {
    {
      std::lock_guard hold(lock_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->languages == languages) {
          std::unique_ptr<Engine> e = std::move(*it);
          idle_.erase(it);
          return e;
        }
      }
    }
    return Engine::Create(languages, problem);
  }

  void GiveBack(std::unique_ptr<Engine> engine) {
    if (!engine) return;
    std::lock_guard hold(lock_);
    // Two workers and one helper use at most three at once.
    if (idle_.size() < 3) idle_.push_back(std::move(engine));
  }

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<Engine>> idle_;
};

EnginePool& Pool() {
  // Never destroyed: a worker may still be recognising a page when the
  // program ends.
  static EnginePool* pool = new EnginePool;
  return *pool;
}

class Borrowed {
 public:
  Borrowed(const std::string& languages, std::string* problem) : engine_(Pool().Borrow(languages, problem)) {}
  ~Borrowed() {
    if (engine_) Pool().GiveBack(std::move(engine_));
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  Engine* get() const { return engine_.get(); }

 private:
  std::unique_ptr<Engine> engine_;
};

struct Deadline {
  Clock::time_point end;
};

bool CancelAfterDeadline(void* data, int) { return Clock::now() > static_cast<Deadline*>(data)->end; }

// The recognised text of the last Recognize: one paragraph per line, the
// lines of a paragraph joined by a space, or directly after a line that ends
// in a hyphen (the word goes on as the page shows it).
std::string ParagraphText(tesseract::TessBaseAPI& api) {
  std::string out;
  std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
  if (!it) return out;
  std::string paragraph;
  auto end_paragraph = [&] {
    while (!paragraph.empty() && paragraph.back() == ' ') paragraph.pop_back();
    if (!paragraph.empty()) out += paragraph + "\n";
    paragraph.clear();
  };
  do {
    if (it->Empty(tesseract::RIL_TEXTLINE)) continue;
    if (it->IsAtBeginningOf(tesseract::RIL_PARA)) end_paragraph();
    std::unique_ptr<char[]> line(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
    if (!line) continue;
    std::string text(line.get());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
    std::size_t lead = text.find_first_not_of(' ');
    if (lead == std::string::npos) continue;
    text.erase(0, lead);
    if (!paragraph.empty() && paragraph.back() != '-') paragraph.push_back(' ');
    paragraph += text;
  } while (it->Next(tesseract::RIL_TEXTLINE));
  end_paragraph();
  return out;
}

struct Reading {
  std::string text;
  int confidence = 0;
  bool timed_out = false;
};

Reading Recognize(tesseract::TessBaseAPI& api, Pix* pix, Deadline& deadline) {
  Reading r;
  api.SetImage(pix);
  if (pixGetXRes(pix) > 0) api.SetSourceResolution(pixGetXRes(pix));
  tesseract::ETEXT_DESC monitor;
  monitor.cancel = CancelAfterDeadline;
  monitor.cancel_this = &deadline;
  const int status = api.Recognize(&monitor);
  if (Clock::now() > deadline.end) {
    r.timed_out = true;
  } else if (status == 0) {
    r.text = ParagraphText(api);
    r.confidence = api.MeanTextConf();
  }
  api.Clear();
  return r;
}

// Straightens a slightly skewed page (up to 7 degrees either way); the page
// itself when it is straight or its lines cannot be found.
PixPtr Straightened(Pix* pix) {
  l_float32 angle = 0, confidence = 0;
  PixPtr straight(pixDeskewGeneral(pix, 0, 0.0f, 0.0f, 0, 0, &angle, &confidence));
  if (!straight) return PixPtr(pixClone(pix));
  return straight;
}

// The grey picture as a Leptonica image.
PixPtr ToPix(const GreyImage& image) {
  PixPtr pix(pixCreate(image.width, image.height, 8));
  if (!pix) return pix;
  l_uint32* data = pixGetData(pix.get());
  const int wpl = pixGetWpl(pix.get());
  for (int y = 0; y < image.height; ++y) {
    const unsigned char* src = image.pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.stride);
    l_uint32* line = data + static_cast<std::size_t>(y) * static_cast<std::size_t>(wpl);
    for (int x = 0; x < image.width; ++x) SET_DATA_BYTE(line, x, src[x]);
  }
  pixSetResolution(pix.get(), image.dpi, image.dpi);
  return pix;
}

// The picture scaled down when it is too large to recognise.
PixPtr WithinEngineLimits(PixPtr pix) {
  const int w = pixGetWidth(pix.get()), h = pixGetHeight(pix.get());
  const double area = static_cast<double>(w) * h;
  double scale = 1.0;
  if (area > kMaxOcrPixels) scale = std::sqrt(kMaxOcrPixels / area);
  scale = std::min(scale, static_cast<double>(kMaxOcrSide) / std::max(w, h));
  if (scale >= 1.0) return pix;
  const int dpi = pixGetXRes(pix.get());
  PixPtr smaller(pixScale(pix.get(), static_cast<l_float32>(scale), static_cast<l_float32>(scale)));
  if (smaller) pixSetResolution(smaller.get(), static_cast<int>(dpi * scale), static_cast<int>(dpi * scale));
  return smaller;
}

}  // namespace

std::string OcrLanguagePackage(const std::string& language) {
  std::string name = language;
  if (name.rfind("script/", 0) == 0) name = "script-" + name.substr(7);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c == '_') c = '-';
  }
  return "tesseract-ocr-" + name;
}

std::string CheckOcrLanguages(const std::string& languages) {
  std::string problem;
  Borrowed engine(languages, &problem);
  return engine.get() ? std::string() : problem;
}

OcrPageText RecognizeGreyPage(const GreyImage& image) {
  OcrPageText result;
  const ConversionOptions& options = CurrentConversionOptions();
  if (!options.ocr) {
    result.problem = "text recognition (OCR) is turned off";
    return result;
  }
  if (!image.pixels || image.width <= 0 || image.height <= 0 || image.stride < image.width) {
    result.problem = "the picture is empty";
    return result;
  }
  // Too small to hold a line of text.
  if (image.width < 8 || image.height < 8) return result;
  PixPtr pix = ToPix(image);
  if (!pix) {
    result.problem = "out of memory for the picture";
    return result;
  }
  result = RecognizePix(std::move(pix));
  NoteProgress();
  return result;
}

OcrPageText RecognizePix(PixPtr grey) {
  OcrPageText result;
  const ConversionOptions& options = CurrentConversionOptions();
  if (!options.ocr) {
    result.problem = "text recognition (OCR) is turned off";
    return result;
  }
  if (!grey || pixGetWidth(grey.get()) < 8 || pixGetHeight(grey.get()) < 8) return result;
  Deadline deadline{Clock::now() + std::chrono::seconds(std::max(options.ocr_page_seconds, 0))};
  PixPtr pix = WithinEngineLimits(std::move(grey));
  if (!pix) {
    result.problem = "out of memory for the picture";
    return result;
  }
  Borrowed engine(options.ocr_languages, &result.problem);
  if (!engine.get()) return result;
  PixPtr upright = Straightened(pix.get());
  Reading best = Recognize(*engine.get()->recognizer, upright.get(), deadline);

  // A page read with little confidence may lie on its side or upside down:
  // ask the orientation detector, and keep the turned reading if it is the
  // better one.
  if (!best.timed_out && best.confidence < kDoubtfulConfidence) {
    if (tesseract::TessBaseAPI* osd = engine.get()->Orientation()) {
      int degrees = 0;
      float orient_confidence = 0, script_confidence = 0;
      const char* script = nullptr;
      osd->SetImage(upright.get());
      const bool found = osd->DetectOrientationScript(&degrees, &orient_confidence, &script, &script_confidence);
      osd->Clear();
      if (found && degrees % 360 != 0 && orient_confidence >= kTurnConfidence) {
        // degrees is how far the page is turned clockwise; turn it back.
        const int quads = ((360 - degrees % 360) / 90) % 4;
        PixPtr turned(pixRotateOrth(pix.get(), quads));
        if (turned) {
          PixPtr straight = Straightened(turned.get());
          Reading second = Recognize(*engine.get()->recognizer, straight.get(), deadline);
          if (second.timed_out || second.confidence > best.confidence) best = std::move(second);
        }
      }
    }
  }
  if (best.timed_out) {
    result.timed_out = true;
    result.problem = "OCR gave up after " + std::to_string(options.ocr_page_seconds) + " s";
    return result;
  }
  result.text = std::move(best.text);
  return result;
}


}  // namespace quarn
