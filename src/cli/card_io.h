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

enum class Created { Yes, Exists, No };
// A new file, never one that exists, opened for writing.
Created create_new(const std::string& path, File& file);

// Bytes free for this user on the disk that holds `folder`.
bool free_space(const std::string& folder, uint64_t& bytes);

// Under sudo, what the tool makes belongs to the user who ran sudo, not to root.
void give_to_invoking_user(const std::string& path);

bool stderr_is_terminal();

}  // namespace ostrel::io
