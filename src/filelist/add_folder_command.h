// The add-folder command: asks for a folder, walks its whole tree and adds every .eml and .emlx
// file found to the file list, then switches the convert button and tells the user how many
// files were added. Free of widgets: the window's CmdAddFolder_Click hands in the platform seams,
// its AddFileToList and the convert button's enabled switch. Window's thread only.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "base/status.h"
#include "filelist/pathLogger.h"

namespace platform {
struct Platform;
}

namespace filelist {


// Runs the command once. add_file_to_list appends one row and may fail; set_convert_enabled
// switches CmdExtractDBX. file_system is what the walker and the chooser look at.
// Cancel in the folder browser changes nothing. Folders that cannot be read are passed over
// and named; a walk that fails part-way, or an add that fails, still leaves the files added so
// far on the list and restores the default pointer. Any of these is reported in one
// exclamation box before the usual count box.
void AddFolderCommand(platform::Platform& p,
                      const std::function<wharfline::Status(const QString&)>& add_file_to_list,
                      const std::function<void(bool)>& set_convert_enabled,
                      FileSystem& file_system);

// Every file below folder (which ends in a separator), as the walker records them in
// breadth-first order, the folders it could not read (each a failure naming the folder and the
// reason), and how the walk ended: a walk that stopped part-way still gives what it recorded
// before.
struct WalkResult {
  std::shared_ptr<KeyedList> files;
  std::vector<wharfline::Status> skipped;
  wharfline::Status status;
};
WalkResult WalkForFiles(FileSystem& file_system, const QString& folder);
// The same walk with every file given to sink (its folder, ending in a separator, and its
// name) instead of kept in `files`, which stays empty.
WalkResult WalkForFiles(FileSystem& file_system, const QString& folder,
                        pathLogger::FileSink sink);

// Whether the walker's entry v is a message file: v in lower case with leading and trailing
// blanks removed ends in ".eml" or ".emlx".
bool IsMessageFileName(const QString& v);

}  // namespace filelist
