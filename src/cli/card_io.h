// What recovering from a card needs of the system beyond file_io.h: the card (an image, a
// device, or the device behind a mounted folder) opened for reading only, the folder the takes
// go into, and the new files in it. One side for POSIX and one for Windows.
#pragma once

#include <cstdint>
#include <string>

#include "file_io.h"

namespace ostrel::io {

enum class SourceOpened { Yes, Missing, NoPermission, NotAMountPoint, No };

// Opens `name` for reading only, never locking or writing it: an image file, a block device or
// a partition, a drive letter (Windows: E: is read as \\.\E:), or a folder where a card is
// mounted (Linux: read through the device the mount table names). `device` is what was opened.
SourceOpened open_source(const std::string& name, File& file, uint64_t& length, std::string& device);

// True when `folder`, or the nearest folder above it that exists, lies on `device` or on one of
// its partitions: writing there could overwrite the clusters being recovered.
bool on_device(const std::string& folder, const std::string& device);

// Makes `path` and every folder above it that is missing.
bool make_folders(const std::string& path);

// Below the folder given, names come from the card: a folder or file there that is a link
// (planted, or made by another user) is never followed, so the card cannot choose where the
// tool writes. `relative` separates its folders with '/'.
enum class Created { Yes, Exists, Refused, No };
// A new file, never one that exists, opened for reading and writing; missing folders on the
// way are made.
Created create_below(const std::string& folder, const std::string& relative, File& file);
enum class Found { Yes, Missing, Refused };
// An existing plain file, opened for reading only, and its length.
Found open_below(const std::string& folder, const std::string& relative, File& file, uint64_t& length);

// Bytes free for this user on the disk that holds `folder`.
bool free_space(const std::string& folder, uint64_t& bytes);

// Under sudo, what the tool makes belongs to the user who ran sudo, not to root.
void give_to_invoking_user(const std::string& path);

bool stderr_is_terminal();

// Ctrl-C, a closed terminal or a request to stop while recovering: noted, never fatal, so that
// the take being written is finished or removed and every take written stays whole.
void catch_interruptions();
bool interrupted();

// Right after a read failed: whether the disk is gone (a card pulled out of its reader), so that
// every read will fail.
bool source_gone();

// Removes the file `relative` below `folder` that a copy left unfinished, following no link.
bool remove_below(const std::string& folder, const std::string& relative);

}  // namespace ostrel::io
