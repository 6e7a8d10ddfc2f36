// The file helpers of downloads: where a downloaded installer is stored, how a downloaded
// file replaces one that may be in use, how a file is read while another program writes
// it, and environment-variable expansion of configured paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"

inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// The local file name of a download: the last segment of the URL's path (the whole text
// when it has no "/"), without query or fragment. Empty when that name is unusable: empty,
// "." or "..", or holding a separator, a drive colon, a control character or another
// character Windows refuses in names, so nothing can be written outside the folder.
std::u16string DownloadFileName(std::u16string_view url);

// The path a downloaded installer is stored under: the folder Download beside the program
// (created when missing) while option 1004 is set, otherwise the user's temporary folder,
// followed by DownloadFileName(url). Empty when the name is refused or the folder cannot
// be made.
std::u16string DownloadTarget(std::u16string_view url);

// Moves `source` over `target`:
//   0       moved; an existing target is replaced in one step, or, when it is in use, moved
//           aside to target + ".old" first (deleted at the next restart);
//   1       the target cannot even be moved aside: the move is left for the next restart;
//   E_FAIL  `source` does not exist;
//   otherwise the HRESULT of the system error (the target is then unchanged).
platform::HRESULT MoveIntoPlace(std::u16string_view source, std::u16string_view target);

// Reads the whole file. When another program holds it open for writing, a temporary copy
// (path + ".copy", always deleted) is read instead. 0x80070026 when fewer bytes than the
// file's size could be read. `attributes` is accepted for the callers' sake; the machine
// image has no use for it.
platform::HRESULT ReadWholeFile(std::u16string_view path, std::string& bytes,
                                uint32_t attributes = FILE_ATTRIBUTE_NORMAL);

// The text with %VARIABLE% references expanded; an empty text is returned as it is.
std::u16string ExpandPath(std::u16string_view text);
