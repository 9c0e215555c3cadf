#pragma once

// "Download all": the published files as one uncompressed ZIP archive that
// is never written anywhere but streamed as it is read. Its whole layout,
// and so its exact size, follows from the names and sizes alone, so the size
// is known before the first byte and any range of it can be produced on its
// own (a cut download resumes). ZIP64 where a size or offset needs it, UTF-8
// names. The CRC-32 of each file is worked out as its bytes stream and kept
// in a CrcCache, so a range that starts past a file only reads that file
// once. No HTTP here.

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

namespace engine {

// The CRC-32 (ISO-HDLC, as ZIP uses it) of data, continued from crc.
std::uint32_t Crc32(std::uint32_t crc, std::span<const char> data);

// CRCs of files already read, by path, size and modification time; shared by
// the requests of all threads.
class CrcCache {
  public:
    std::optional<std::uint32_t> Find(const std::string& path, std::int64_t size,
                                      std::int64_t modifiedNs);
    void Store(const std::string& path, std::int64_t size, std::int64_t modifiedNs,
               std::uint32_t crc);

  private:
    std::mutex mutex_;
    std::map<std::tuple<std::string, std::int64_t, std::int64_t>, std::uint32_t> crcs_;
};

struct ZipSource {
    std::string name; // in the archive, UTF-8
    std::string path; // on the disk
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0; // since 1970, UTC
};

// The published files: every regular file directly in folder (ending in the
// path delimiter), by name, leaving out the folder's default page and copies
// still being made.
std::vector<ZipSource> PublishedFiles(const std::string& folder);

// The archive's file name for a download at that local time:
// "Files from the PC 2026-12-10.zip".
std::string ArchiveFileName(const platform::LocalDateTime& local);

// Works out and caches the CRC-32 of every file not in crcs yet, so a
// download that follows streams without checksumming. Stops early when
// stop is requested.
void WarmCrcs(const std::vector<ZipSource>& files, CrcCache& crcs, std::stop_token stop);

class ZipStream {
  public:
    // The archive of these files, in this order. Names are made safe for an
    // archive ("\" and "/" become "_", since extractors read them as folders).
    ZipStream(std::vector<ZipSource> files, CrcCache& crcs);

    // The archive's exact length in bytes.
    std::int64_t Size() const { return size_; }
    // A strong validator: changes when any name, size or date changes.
    std::string EntityTag() const;

    // Copies the archive's bytes from offset into out, as many as fit and
    // are left. -1 when a file cannot be read or changed since the layout
    // was made (the download must then fail, not carry wrong bytes).
    std::int64_t Read(std::int64_t offset, std::span<char> out);

  private:
    struct Entry {
        ZipSource source;
        std::int64_t headerOffset = 0; // local header
        std::int64_t dataOffset = 0;
        bool zip64 = false; // size needs 64 bits
        std::optional<std::uint32_t> crc;
    };
    // A part of the archive: a local header, a file's data, its data
    // descriptor, or the central directory with the end records.
    struct Piece {
        enum class Kind { Header, Data, Descriptor, Directory } kind;
        std::size_t entry = 0;
        std::int64_t start = 0;
        std::int64_t length = 0;
    };

    std::string LocalHeader(const Entry& entry) const;
    std::string Descriptor(const Entry& entry) const;
    std::string Directory();
    std::int64_t DirectoryLength() const;
    // The CRC of an entry: from the stream, the cache, or by reading it.
    std::optional<std::uint32_t> CrcOf(Entry& entry);
    std::int64_t ReadData(Entry& entry, std::int64_t offset, std::span<char> out);

    CrcCache& crcs_;
    std::vector<Entry> entries_;
    std::vector<Piece> pieces_;
    std::int64_t directoryOffset_ = 0;
    std::int64_t size_ = 0;
    // The running CRC of the file being streamed from its first byte on.
    std::size_t runEntry_ = SIZE_MAX;
    std::int64_t runOffset_ = 0;
    std::uint32_t runCrc_ = 0;
    std::string directory_; // built when first needed
    // The file read last, kept open for the next block.
    std::size_t openEntry_ = SIZE_MAX;
    std::optional<platform::ReadOnlyFile> open_;
};

} // namespace engine
