#include "ui/sysdialogs.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace quarn {

namespace {

// Task-dialog button flags and the ids a pressed button reports.
struct ButtonMapping {
  int flag;
  QMessageBox::StandardButton button;
  int id;
};
constexpr ButtonMapping kButtons[] = {
    {0x01, QMessageBox::Ok, 1},    {0x02, QMessageBox::Yes, 6},   {0x04, QMessageBox::No, 7},
    {0x08, QMessageBox::Cancel, 2}, {0x10, QMessageBox::Retry, 4}, {0x20, QMessageBox::Close, 8},
};

class QtDialogBackend final : public DialogBackend {
 public:
  std::optional<QStringList> ChooseFiles(QWidget* owner, const FileChooserRequest& request) override {
    QFileDialog dialog(owner);
    ConfigureFileDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.selectedFiles();
  }

  std::optional<QString> ChooseFolder(QWidget* owner, const FolderChooserRequest& request) override {
    QFileDialog dialog(owner);
    ConfigureFolderDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.front();
  }

  int ShowMessage(QWidget* owner, const MessageRequest& request) override {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return 0;
    QMessageBox box(owner);
    ConfigureMessageBox(box, request);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    for (const ButtonMapping& b : kButtons)
      if (clicked && clicked == box.button(b.button)) return b.id;
    // Closed without a button (Esc on a lone OK): the box's default answer.
    return box.escapeButton() == box.button(QMessageBox::Ok) ? 1 : 2;
  }
};

QtDialogBackend& RealBackend() {
  static QtDialogBackend backend;
  return backend;
}

// Set by tests only, on the main thread.
DialogBackend* current_backend = nullptr;

}  // namespace

DialogBackend& CurrentDialogBackend() { return current_backend ? *current_backend : RealBackend(); }
void SetDialogBackend(DialogBackend* backend) { current_backend = backend; }

int MessageBoxIcon(int icon) {
  switch (icon) {
    case 101: return QMessageBox::Warning;
    case 102: return QMessageBox::Question;
    case 103: return QMessageBox::Critical;
    default: return QMessageBox::Information;
  }
}

void ConfigureFileDialog(QFileDialog& dialog, const FileChooserRequest& request) {
  dialog.setWindowTitle(request.title);
  dialog.setAcceptMode(request.for_open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
  if (request.for_open && request.must_exist)
    dialog.setFileMode(request.multi_select ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  else
    dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.overwrite_prompt);
  if (!request.name_filters.isEmpty()) dialog.setNameFilters(request.name_filters);
  if (!request.default_suffix.isEmpty()) dialog.setDefaultSuffix(request.default_suffix);
  if (!request.directory.isEmpty()) dialog.setDirectory(request.directory);
  if (!request.initial_name.isEmpty()) dialog.selectFile(request.initial_name);
}

void ConfigureFolderDialog(QFileDialog& dialog, const FolderChooserRequest& request) {
  dialog.setWindowTitle(request.title);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setDirectory(request.directory.isEmpty() ? QDir::homePath() : request.directory);
}

void ConfigureMessageBox(QMessageBox& box, const MessageRequest& request) {
  box.setWindowTitle(request.title);
  box.setIcon(static_cast<QMessageBox::Icon>(MessageBoxIcon(request.icon)));
  box.setText(request.main_text);
  box.setInformativeText(request.content);
  QMessageBox::StandardButtons buttons;
  for (const ButtonMapping& b : kButtons)
    if (request.buttons & b.flag) buttons |= b.button;
  if (!buttons) buttons = QMessageBox::Ok;
  box.setStandardButtons(buttons);
}

QStringList NameFiltersFrom(const std::string& filter) {
  const QStringList parts = QString::fromUtf8(filter).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& name = parts[i];
    const QString& patterns = parts[i + 1];
    if (name.isEmpty() && patterns.isEmpty()) continue;
    // Qt reads the patterns from the last parentheses, so a name that already
    // shows them ("All Files (*.*)") is used as it stands.
    const QString shown = "(" + patterns + ")";
    filters << (name.endsWith(shown) ? name : name + " " + shown);
  }
  return filters;
}

bool SelectFiles(QWidget* owner, const std::string& default_ext, const std::string& filter,
                 const std::string& initial_dir, const std::string& title, std::vector<std::string>& file_names,
                 bool must_exist, bool overwrite_prompt, bool /*no_change_dir*/, bool for_open, bool multi_select) {
  FileChooserRequest request;
  request.title = QString::fromUtf8(title);
  request.directory = QFile::decodeName(QByteArray::fromStdString(initial_dir));
  // "*.*" or "*.txt" style: only a plain suffix can be appended to a name.
  QString suffix = QString::fromUtf8(default_ext);
  if (suffix.startsWith("*.")) suffix.remove(0, 2);
  if (suffix.startsWith('.')) suffix.remove(0, 1);
  if (!suffix.contains('*') && !suffix.contains('?')) request.default_suffix = suffix;
  request.name_filters = NameFiltersFrom(filter);
  if (!file_names.empty()) request.initial_name = QFile::decodeName(QByteArray::fromStdString(file_names.front()));
  request.for_open = for_open;
  request.must_exist = must_exist;
  request.multi_select = multi_select;
  request.overwrite_prompt = overwrite_prompt;

  std::optional<QStringList> chosen = CurrentDialogBackend().ChooseFiles(owner, request);
  if (!chosen || chosen->isEmpty()) return false;
  std::vector<std::string> result;
  for (const QString& path : *chosen) {
    if (path.isEmpty()) continue;
    result.push_back(QFile::encodeName(path).toStdString());
    if (!multi_select) break;
  }
  if (result.empty()) return false;
  file_names = std::move(result);
  return true;
}

bool SelectFolder(const std::string& title, std::string& path, bool add_trailing_separator) {
  FolderChooserRequest request;
  request.title = QString::fromUtf8(title);
  // The caller's path ends in a separator; the chooser wants the folder itself.
  std::string initial = path;
  if (!initial.empty()) initial.pop_back();
  request.directory = QFile::decodeName(QByteArray::fromStdString(initial));

  std::optional<QString> chosen = CurrentDialogBackend().ChooseFolder(QApplication::activeWindow(), request);
  if (!chosen || chosen->isEmpty()) return false;
  const QFileInfo info(*chosen);
  if (!info.isDir()) return false;
  std::string result = QFile::encodeName(QDir::cleanPath(info.absoluteFilePath())).toStdString();
  if (add_trailing_separator && (result.empty() || result.back() != '/')) result += '/';
  path = std::move(result);
  return true;
}

int ShowMessageDialog(QWidget* owner, const std::string& title, const std::string& main_text,
                      const std::string& content, int buttons, int icon) {
  MessageRequest request{QString::fromUtf8(title), QString::fromUtf8(main_text), QString::fromUtf8(content),
                         buttons, icon};
  return CurrentDialogBackend().ShowMessage(owner, request);
}

}  // namespace quarn
