#pragma once
// FirstVersionImporter brings in the hostfiles of the application's first version, which kept
// each one as a plain text file in a folder of its own (ApplicationExtras::v1HostsPath()). It
// asks the user first, and only when that folder holds files; on "Yes" every top-level,
// non-hidden file of that folder becomes a local, enabled hostfile titled with the file's name,
// each stored by its own background save. The source files are left in place, so a second
// import makes second copies.
//
// Main thread only, but for the save blocks, which run on the data layer's private queue.
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace app {

class FirstVersionImporter {
 public:
  static constexpr const char* kQuestion = "Would you like to import your data from Quillmere 1.0?";

  // `imported` runs on the main queue after each file's save has finished (successful or not),
  // so the list can re-sort and show it.
  explicit FirstVersionImporter(std::function<void()> imported);
  FirstVersionImporter(const FirstVersionImporter&) = delete;
  FirstVersionImporter& operator=(const FirstVersionImporter&) = delete;

  // Asks the question as a sheet on `window` when there is something to import and answers true;
  // on the first button ("Yes") sends "importV1" and imports. Any other answer does nothing. With
  // no file to import nothing is asked, and the answer is false.
  bool askToImport(QWidget* window);

  // Whether the first version's folder holds a file that importV1HostFiles() would take.
  static bool hasFilesToImport();

  // Starts one background save per file of folderToImport(). A missing or unreadable folder
  // imports nothing and says nothing. A file that cannot be read as text is skipped.
  void importV1HostFiles();

  // The paths of the top-level regular files of `folder` in name order; hidden entries
  // (starting with ".") and subfolders are left out. Empty when the folder cannot be listed.
  static std::vector<std::string> filesToImport(const std::string& folder);

 private:
  std::function<void()> imported_;
  // Held by this object only; save completions hold it weakly and give up once it is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace app
