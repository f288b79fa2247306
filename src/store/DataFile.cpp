#include "DataFile.h"

#include "SafeFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <cerrno>
#include <cstring>
#include <memory>

namespace sirano {
namespace {

using Why = Reason::Kind;

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

struct Unmap {
    size_t size = 0;
    void operator()(void* p) const { ::munmap(p, size); }
};

// The bytes of a file, in an anonymous mapping of their own.
class FileBytes {
public:
    FileBytes() = default;
    FileBytes(void* map, size_t reserved, const char* start)
        : map_(map, Unmap{reserved}), start_(start) {}
    void truncate(size_t size) { size_ = size; }
    QByteArray bytes() const {
        return QByteArray::fromRawData(start_, static_cast<qsizetype>(size_));
    }

private:
    std::unique_ptr<void, Unmap> map_;
    const char* start_ = nullptr;
    size_t size_ = 0;
};

// The whole file. Opened without blocking and checked to be a regular file before any read: a
// named pipe or a device at the path would otherwise hang the load or never end it. Read, never
// mapped: another program (a sync tool, cp) may cut the file short during the load, which a
// mapping would answer with SIGBUS.
FileBytes readDataFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            throw LoadError(err::kFileNotFound, path, 0, 0, Reason{Why::FileMissing});
        throw LoadError(err::kPathFileAccess, path, 0, 0,
                        Reason{Why::CannotOpen, {}, systemError(error)});
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw LoadError(err::kPathFileAccess, path, 0, 0,
                        Reason{Why::CannotRead, {}, systemError(errno)});
    if (!S_ISREG(st.st_mode))
        throw LoadError(err::kPathFileAccess, path, 0, 0, Reason{Why::NotRegularFile});
    // Read into memory of its own, in huge pages where the system offers them: a buffer faulted
    // in 4 KiB at a time as the read fills it makes a first load in a fresh process much slower
    // than the mapping of the file this replaces. The bytes the file holds now are what is
    // parsed; a file cut short meanwhile is read as cut short.
    const auto size = static_cast<size_t>(st.st_size);
    if (size == 0)
        return FileBytes();
    constexpr size_t kHugePage = 2 << 20;
    const size_t reserved = size + kHugePage;
    void* map =
        ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        throw LoadError(err::kPathFileAccess, path, 0, 0,
                        Reason{Why::CannotRead, {}, systemError(errno)});
    const auto address = reinterpret_cast<uintptr_t>(map);
    char* const start = reinterpret_cast<char*>((address + kHugePage - 1) & ~(kHugePage - 1));
    FileBytes bytes(map, reserved, start);
    ::madvise(start, size, MADV_HUGEPAGE);  // only advice: without it, small pages
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, start + filled, size - filled);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw LoadError(err::kPathFileAccess, path, 0, 0,
                            Reason{Why::CannotRead, {}, systemError(errno)});
        }
        filled += static_cast<size_t>(got);
    }
    bytes.truncate(filled);
    return bytes;
}

}  // namespace

StoreContents loadDataFile(const QString& path, Generator& gen, DataFileAccess* access) {
    const FileBytes file = readDataFile(path);
    const PlainBytes plain = plainDataFileBytes(file.bytes(), path, access);
    return parseDataFile(plain.bytes(), gen, path);
}

void saveDataFile(const QString& path, Generator& gen, const SiteTable& table,
                  const Settings& settings, const DataFileKey* key) {
    const bool existed = QFileInfo::exists(path);
    QByteArray bytes;
    try {
        bytes = serializeDataFile(table, settings, gen);
    } catch (const SaveError& e) {
        throw SaveError(e.number(), path, e.reason(), existed);
    }
    if (key) {
        QByteArray sealed = sealEnvelope(bytes, *key);
        wipe(bytes);
        bytes = std::move(sealed);
    }
    if (const auto failed = writeFileAtomically(path, bytes))
        throw SaveError(err::kPathFileAccess, path, failed->reason, existed);
}

}  // namespace sirano
