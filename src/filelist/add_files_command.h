// The add-files and clear commands behind cmdAdd and cmdClear1, written against the platform
// seam so they run the same in the window and in tests. Window thread only.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {
class Dialogs;
}

namespace filelist {

class FileList;

// What the open-file dialog is set up with before every showing.
inline constexpr char kOpenFilter[] = "Email Messages (*.eml, *.emlx)|*.eml;*.emlx";
inline constexpr std::uint32_t kOpenFlags = 0x80200;  // Explorer-style, multiple selection
// Characters of result text the dialog may hand back: room for tens of thousands of names.
inline constexpr std::int32_t kOpenResultCapacity = 1 << 20;

// Shows the open-file dialog and appends each picked file to the list. The convert button is
// enabled (through set_convert_enabled) as soon as the dialog returned a selection, before any
// row is added. Every failure ends the command with one exclamation box; rows added before it
// stay. Cancel changes nothing.
void AddFilesCommand(platform::Dialogs& dialogs, FileList& list,
                     const std::function<void(bool)>& set_convert_enabled);

// Asks before emptying a list that holds entries; an empty list is left alone silently.
void ClearCommand(platform::Dialogs& dialogs, FileList& list);

}  // namespace filelist
