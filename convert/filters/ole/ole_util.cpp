#include "convert/filters/ole/ole_util.h"

#include <unicode/ucnv.h>
#include <zlib.h>
#include <unicode/ustring.h>

#include <mutex>

#include "convert/filter_path.h"
#include "convert/filters/common/embedded.h"
#include "convert/filters/common/text_decode.h"
#include "convert/filters/builtin_filter.h"

namespace quarn {

void GObjectUnref::operator()(void* object) const {
  if (object) g_object_unref(object);
}

void RouteGlibMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_default_handler(
        [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
          if (level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) return;
          NoteLibraryMessage(std::string(domain ? domain : "GLib") + ": " + (message ? message : ""));
        },
        nullptr);
  });
}

CompoundFile OpenCompoundFile(const std::string& path, std::string* why) {
  GError* error = nullptr;
  std::unique_ptr<GsfInput, GObjectUnref> input(gsf_input_stdio_new(path.c_str(), &error));
  if (!input) {
    if (why) *why = error && error->message ? error->message : "cannot open the file";
    if (error) g_error_free(error);
    return nullptr;
  }
  CompoundFile file(gsf_infile_msole_new(input.get(), &error));
  if (!file) {
    if (why) *why = std::string("not a readable compound file: ") + (error && error->message ? error->message : "");
    if (error) g_error_free(error);
  }
  return file;
}

std::vector<std::string> CompoundEntryNames(GsfInfile* file) {
  std::vector<std::string> names;
  int n = gsf_infile_num_children(file);
  for (int i = 0; i < n && i < 4096; ++i)
    if (const char* name = gsf_infile_name_by_index(file, i)) names.emplace_back(name);
  return names;
}

std::optional<std::string> ReadCompoundStream(GsfInfile* file, const char* name, std::size_t max_bytes) {
  std::unique_ptr<GsfInput, GObjectUnref> stream(gsf_infile_child_by_name(file, name));
  if (!stream) return std::nullopt;
  gsf_off_t size = gsf_input_size(stream.get());
  if (size < 0 || static_cast<uint64_t>(size) > max_bytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  // Large steps while they go; where a damaged chain stops one, small steps
  // from there keep every sector that can still be read.
  std::size_t done = 0, most = std::size_t{1} << 20;
  while (done < bytes.size()) {
    const std::size_t step = std::min(bytes.size() - done, most);
    if (gsf_input_read(stream.get(), step, reinterpret_cast<guint8*>(bytes.data() + done))) {
      done += step;
    } else if (most > 4096 && gsf_input_seek(stream.get(), static_cast<gsf_off_t>(done), G_SEEK_SET) == 0) {
      most = 4096;
    } else {
      bytes.resize(done);  // keep what could be read
      break;
    }
  }
  return bytes;
}

namespace {

// Copies the streams and storages under from into to, at most depth levels.
bool CopyStorage(GsfInfile* from, GsfOutfile* to, int depth) {
  int n = gsf_infile_num_children(from);
  for (int i = 0; i < n && i < 4096; ++i) {
    const char* name = gsf_infile_name_by_index(from, i);
    std::unique_ptr<GsfInput, GObjectUnref> child(gsf_infile_child_by_index(from, i));
    if (!name || !child) continue;
    bool dir = GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
    std::unique_ptr<GsfOutput, GObjectUnref> out(gsf_outfile_new_child(to, name, dir));
    if (!out) return false;
    bool ok = true;
    if (dir) {
      ok = depth < 8 && CopyStorage(GSF_INFILE(child.get()), GSF_OUTFILE(out.get()), depth + 1);
    } else {
      guint8 buf[16384];
      gsf_off_t left = gsf_input_size(child.get());
      while (ok && left > 0) {
        std::size_t step = static_cast<std::size_t>(std::min<gsf_off_t>(left, sizeof buf));
        ok = gsf_input_read(child.get(), step, buf) && gsf_output_write(out.get(), step, buf);
        left -= static_cast<gsf_off_t>(step);
      }
    }
    gsf_output_close(out.get());
    if (!ok) return false;
  }
  return true;
}

// The object's own file, when it is a file embedded as itself: the
// "\1Ole10Native" stream holds its size, then the package.
bool ExtractOle10Native(GsfInfile* storage, TextSink& sink, bool* found) {
  std::optional<std::string> native = ReadCompoundStream(storage, "\001Ole10Native", std::size_t{256} << 20);
  *found = native.has_value();
  if (!native || native->size() < 4) return false;
  std::string_view data = std::string_view(*native).substr(4, Le32(*native, 0));
  if (std::optional<PackagedFile> file = ParsePackage(data)) return ExtractEmbedded(file->bytes, sink, file->name);
  return ExtractEmbedded(data, sink);
}

}  // namespace

bool ExtractEmbeddedStorage(GsfInfile* storage, TextSink& sink) {
  if (sink.full() || EmbeddingTooDeep(sink)) return false;
  bool native = false;
  bool wrote = ExtractOle10Native(storage, sink, &native);
  if (native) return wrote;
  // Zip documents (Office Open XML, OpenDocument) are kept whole in a stream.
  for (const char* name : {"Package", "package_stream"})
    if (std::optional<std::string> package = ReadCompoundStream(storage, name, std::size_t{256} << 20))
      return ExtractEmbedded(*package, sink);
  // A storage is no file: copy it into a compound file of its own, which the
  // filter of its content reads like any document.
  std::unique_ptr<GsfOutput, GObjectUnref> memory(gsf_output_memory_new());
  std::unique_ptr<GsfOutfile, GObjectUnref> copy(gsf_outfile_msole_new(memory.get()));
  if (!copy) return false;
  guint8 clsid[16];
  if (GSF_IS_INFILE_MSOLE(storage) && gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(storage), clsid))
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(copy.get()), clsid);
  bool ok = CopyStorage(storage, copy.get(), 0);
  gsf_output_close(GSF_OUTPUT(copy.get()));
  copy.reset();
  if (!gsf_output_is_closed(memory.get())) gsf_output_close(memory.get());
  if (!ok) return false;
  const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(memory.get()));
  gsf_off_t size = gsf_output_size(memory.get());
  if (!bytes || size <= 0) return false;
  return ExtractEmbedded(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size)), sink);
}

bool ExtractEmbeddedCompoundFile(std::string_view bytes, TextSink& sink) {
  if (sink.full() || EmbeddingTooDeep(sink)) return false;
  std::unique_ptr<GsfInput, GObjectUnref> input(
      gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()), static_cast<gsf_off_t>(bytes.size()), FALSE));
  if (!input) return false;
  GError* error = nullptr;
  CompoundFile file(gsf_infile_msole_new(input.get(), &error));
  if (error) g_error_free(error);
  if (!file) return ExtractEmbedded(bytes, sink);  // not a compound file: perhaps a document of another kind
  bool native = false;
  bool wrote = ExtractOle10Native(file.get(), sink, &native);
  if (native) return wrote;
  for (const char* name : {"Package", "package_stream"})
    if (std::optional<std::string> package = ReadCompoundStream(file.get(), name, std::size_t{256} << 20))
      return ExtractEmbedded(*package, sink);
  return ExtractEmbedded(bytes, sink);
}

std::optional<std::string> InflateZlib(std::string_view data, std::size_t max_bytes) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(data.size(), UINT32_MAX));
  int status = Z_OK;
  while (status == Z_OK) {
    if (out.size() >= max_bytes) break;
    std::size_t have = out.size();
    out.resize(std::min(max_bytes, std::max<std::size_t>(have * 2, 64 * 1024)));
    z.next_out = reinterpret_cast<Bytef*>(out.data() + have);
    z.avail_out = static_cast<uInt>(out.size() - have);
    status = inflate(&z, Z_NO_FLUSH);
    out.resize(out.size() - z.avail_out);
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

namespace {

bool ValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    uint32_t cp;
    std::size_t n = quarn_utf8_sequence(p + i, s.size() - i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};

std::string ValidatedUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    uint32_t cp;
    std::size_t n = quarn_utf8_sequence(p + i, bytes.size() - i, &cp);
    if (n == 0) {
      AppendUtf8(0xFFFD, out);
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace

std::string DecodeCharset(std::string_view bytes, std::string_view charset) {
  std::string name(charset);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  if (name.empty() || name == "us-ascii" || name == "ascii") name = ValidUtf8(bytes) ? "utf-8" : "windows-1252";
  if (name == "utf-8" || name == "utf8") return ValidatedUtf8(bytes);
  // Text labelled ISO-8859-1 (or ASCII, ISO-8859-9, TIS-620) is read as
  // browsers read it, in the Windows code page that extends it: its bytes
  // 0x80 to 0x9F are that code page's quotes, dashes and euro signs, never
  // the invisible controls of the label.
  if (const std::string extended = CharsetForLabel(name);
      extended == "WINDOWS-1252" || extended == "WINDOWS-1254" || extended == "CP874")
    name = extended == "CP874" ? "windows-874" : extended;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterCloser> conv(ucnv_open(name.c_str(), &status));
  if (U_FAILURE(status) || !conv) {
    // A charset nobody knows: the bytes are most likely UTF-8 or Western.
    if (ValidUtf8(bytes)) return std::string(bytes);
    status = U_ZERO_ERROR;
    conv.reset(ucnv_open("windows-1252", &status));
    if (U_FAILURE(status) || !conv) return ValidatedUtf8(bytes);
  }
  // ICU's default callback substitutes U+FFFD (or the charset's own
  // substitute) for bytes that are invalid in the charset and goes on.
  std::u16string units(bytes.size() * 2 + 4, u'\0');
  status = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(units.data()), static_cast<int32_t>(units.size()),
                            bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  if (U_FAILURE(status)) return ValidatedUtf8(bytes);
  std::string out;
  out.reserve(static_cast<std::size_t>(n) * 2);
  for (int32_t i = 0; i < n; ++i) {
    char32_t u = units[i];
    if (u == 0x1A) u = 0xFFFD;  // ICU's substitute in single-byte charsets
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(u, out);
  }
  return out;
}

const char* CodePageForLanguageId(uint16_t lid) {
  switch (lid & 0x3FF) {
    case 0x19: case 0x22: case 0x23: case 0x02: case 0x2F: case 0x44: case 0x3F: case 0x40: case 0x50:
      return "windows-1251";
    case 0x05: case 0x15: case 0x0E: case 0x1B: case 0x24: case 0x18: case 0x1C:
      return "windows-1250";
    case 0x08: return "windows-1253";
    case 0x1F: case 0x2C: return "windows-1254";
    case 0x0D: return "windows-1255";
    case 0x01: case 0x20: case 0x29: return "windows-1256";
    case 0x25: case 0x26: case 0x27: return "windows-1257";
    case 0x2A: return "windows-1258";
    case 0x1E: return "windows-874";
    case 0x11: return "shift_jis";
    case 0x04: return (lid == 0x0404 || lid == 0x0C04 || lid == 0x1404) ? "big5" : "gbk";
    case 0x12: return "windows-949";
    case 0x1A: return lid == 0x0C1A ? "windows-1251" : "windows-1250";
    default: return "windows-1252";
  }
}

}  // namespace quarn
