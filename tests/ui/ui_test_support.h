// Shared by the window's tests: a dialog backend that answers without a
// display, a converter the tests can hold at a gate, a scratch folder and a
// wait that keeps the event loop turning.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "process/process.h"
#include "ui/sysdialogs.h"

namespace quarn::testing {

// Turns the event loop until pred holds or timeout_ms passes.
inline bool WaitUntil(const std::function<bool()>& pred, int timeout_ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeout_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

// Waits for the current run (if any) to end and its last progress to arrive.
inline bool WaitForIdle(int timeout_ms = 15000) {
  const bool ended = WaitUntil([] {
    const ProcessState s = GetProcessState();
    return s == psIdle || s == psFinished;
  }, timeout_ms);
  QCoreApplication::processEvents();
  return ended;
}

// Records every dialog request and answers from queues the test fills.
class FakeDialogs final : public DialogBackend {
 public:
  FakeDialogs() { SetDialogBackend(this); }
  ~FakeDialogs() override { SetDialogBackend(nullptr); }

  std::optional<QStringList> ChooseFiles(QWidget*, const FileChooserRequest& request) override {
    file_requests.push_back(request);
    if (file_answers.empty() || !file_answers.front()) {
      if (!file_answers.empty()) file_answers.pop_front();
      return std::nullopt;
    }
    QStringList answer = *file_answers.front();
    file_answers.pop_front();
    return answer;
  }
  std::optional<QString> ChooseFolder(QWidget*, const FolderChooserRequest& request) override {
    folder_requests.push_back(request);
    if (folder_answers.empty() || !folder_answers.front()) {
      if (!folder_answers.empty()) folder_answers.pop_front();
      return std::nullopt;
    }
    QString answer = *folder_answers.front();
    folder_answers.pop_front();
    return answer;
  }
  int ShowMessage(QWidget*, const MessageRequest& request) override {
    messages.push_back(request);
    return 1;
  }

  std::vector<FileChooserRequest> file_requests;
  std::vector<FolderChooserRequest> folder_requests;
  std::vector<MessageRequest> messages;
  std::deque<std::optional<QStringList>> file_answers;
  std::deque<std::optional<QString>> folder_answers;
};

// A converter that records each path and holds it until the test lets it go.
class GatedConverter {
 public:
  GatedConverter() {
    previous_ = SetFileConverter([this](const std::string& path) { return Convert(path); });
  }
  ~GatedConverter() {
    OpenAll();
    WaitForIdle();
    SetFileConverterFactory(std::move(previous_));
  }
  void OpenAll() {
    std::lock_guard hold(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void Release(const std::string& path) {
    std::lock_guard hold(lock_);
    released_.insert(path);
    changed_.notify_all();
  }
  std::vector<std::string> Seen() {
    std::lock_guard hold(lock_);
    return seen_;
  }
  // What each path's conversion reports (written by default).
  std::function<ConvertResult(const std::string&)> result = [](const std::string&) {
    return ConvertResult::Written();
  };

 private:
  ConvertResult Convert(const std::string& path) {
    std::unique_lock hold(lock_);
    seen_.push_back(path);
    changed_.notify_all();
    // Bounded, so a failing test cannot hang the suite.
    changed_.wait_for(hold, std::chrono::seconds(20), [&] { return open_ || released_.count(path); });
    return result(path);
  }
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
  std::set<std::string> released_;
  std::vector<std::string> seen_;
  FileConverterFactory previous_;
};

// A scratch folder with small files.
class Scratch {
 public:
  std::string Path(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }
  std::string Write(const std::string& name, const std::string& content = "text\n") const {
    const std::string path = Path(name);
    QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string root() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
};

}  // namespace quarn::testing
