// What tells one version of a file from another without reading it: device, inode, size and
// modification time in nanoseconds. A sync tool renames a new file over the old one (a new
// inode) or rewrites it in place (a new size or time).
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace sirano {

struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path (a link followed), or nothing when there is none.
std::optional<FileStamp> fileStampOf(const QString& path);

}  // namespace sirano
