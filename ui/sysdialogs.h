// The system dialogs of the window's commands: the file chooser, the folder
// chooser and the message dialog.  Main thread only.  Each call describes the
// dialog it wants in a plain request and hands it to a DialogBackend: the
// real one shows QFileDialog and QMessageBox, tests put in one that answers
// without a display.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

class QFileDialog;
class QMessageBox;
class QWidget;

namespace quarn {

// What the file chooser is asked to be.
struct FileChooserRequest {
  QString title;
  QString directory;       // where it opens; empty: the current folder
  QString default_suffix;  // appended to a typed name without one; empty: none
  QStringList name_filters;  // "Description (patterns)", in order
  QString initial_name;
  bool for_open = true;
  bool must_exist = true;
  bool multi_select = false;
  bool overwrite_prompt = false;
};

struct FolderChooserRequest {
  QString title;
  QString directory;  // the folder shown first; empty: the home folder
};

struct MessageRequest {
  QString title;
  QString main_text;
  QString content;
  int buttons = 1;  // task-dialog button flags: 1 OK, 2 Yes, 4 No, 8 Cancel, 0x10 Retry, 0x20 Close
  int icon = 104;   // 101 warning, 102 question, 103 error, anything else information
};

class DialogBackend {
 public:
  virtual ~DialogBackend() = default;
  // The chosen paths in the dialog's order, or nothing on cancel.
  virtual std::optional<QStringList> ChooseFiles(QWidget* owner, const FileChooserRequest& request) = 0;
  virtual std::optional<QString> ChooseFolder(QWidget* owner, const FolderChooserRequest& request) = 0;
  // The pressed button's id (1 OK, 2 Cancel, 4 Retry, 6 Yes, 7 No, 8 Close);
  // 0 when no dialog can be shown.
  virtual int ShowMessage(QWidget* owner, const MessageRequest& request) = 0;
};

// The backend the calls below use; SetDialogBackend(nullptr) restores the
// real one.  Tests only.
DialogBackend& CurrentDialogBackend();
void SetDialogBackend(DialogBackend* backend);

// Sets up a QFileDialog or QMessageBox as the real backend shows it (exposed
// so that the set-up can be checked without showing anything).
void ConfigureFileDialog(QFileDialog& dialog, const FileChooserRequest& request);
void ConfigureFolderDialog(QFileDialog& dialog, const FolderChooserRequest& request);
void ConfigureMessageBox(QMessageBox& box, const MessageRequest& request);
int MessageBoxIcon(int icon);  // QMessageBox::Icon for an icon code

// "Name|pattern|Name|pattern" into Qt's name filters ("Name (pattern)").
QStringList NameFiltersFrom(const std::string& filter);

// The file chooser.  file_names carries the initial name in (its first
// element, if any) and the selection out, in the dialog's order (only the
// first path without multi_select).  Returns false on cancel, leaving
// file_names unchanged.  no_change_dir has nothing to do here: the chooser
// never changes the process's current folder.
bool SelectFiles(QWidget* owner, const std::string& default_ext, const std::string& filter,
                 const std::string& initial_dir, const std::string& title, std::vector<std::string>& file_names,
                 bool must_exist, bool overwrite_prompt, bool no_change_dir, bool for_open, bool multi_select);

// The folder chooser: real folders only.  path carries the initial folder in
// (with its trailing separator) and the choice out.  Returns false on cancel
// or when the answer is not an existing folder.
bool SelectFolder(const std::string& title, std::string& path, bool add_trailing_separator);

// Shows a message; returns the pressed button's id (1 for OK), 0 when no
// dialog can be shown.
int ShowMessageDialog(QWidget* owner, const std::string& title, const std::string& main_text,
                      const std::string& content, int buttons, int icon);

}  // namespace quarn
