#include "engine/ZipStream.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace engine {

namespace {

constexpr std::uint32_t Max32 = 0xFFFFFFFF;
constexpr std::uint16_t Max16 = 0xFFFF;
// Bit 3: sizes and CRC follow the data; bit 11: the name is UTF-8.
constexpr std::uint16_t Flags = 0x0808;
constexpr std::uint16_t VersionZip64 = 45;
constexpr std::uint16_t VersionPlain = 20;
// Made on Unix, so the external attributes are a file mode (rw-r--r--).
constexpr std::uint16_t MadeBy = (3 << 8) | VersionZip64;
constexpr std::uint32_t FileMode = 0100644u << 16;
constexpr std::size_t LocalHeaderSize = 30;
constexpr std::size_t CentralHeaderSize = 46;
constexpr std::size_t Zip64EndSize = 56;
constexpr std::size_t Zip64LocatorSize = 20;
constexpr std::size_t EndSize = 22;

// Slice-by-8 tables of the reflected polynomial 0xEDB88320: a library for
// this alone would be one more to build for every platform.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        t[0][i] = c;
    }
    for (std::size_t i = 0; i < 256; ++i) {
        for (std::size_t k = 1; k < 8; ++k) {
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
        }
    }
    return t;
}
constexpr CrcTables Tables = MakeCrcTables();

void Put16(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}
void Put32(std::string& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}
void Put64(std::string& out, std::uint64_t value) {
    Put32(out, static_cast<std::uint32_t>(value & Max32));
    Put32(out, static_cast<std::uint32_t>(value >> 32));
}
std::uint32_t Low32(std::int64_t value) {
    return value >= Max32 ? Max32 : static_cast<std::uint32_t>(value);
}

// The local date and time the DOS way (what every extractor shows).
std::uint32_t DosDateTime(std::int64_t modifiedNs) {
    const auto local = platform::ToLocalDateTime(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(modifiedNs))));
    if (!local || local->year < 1980) {
        return (1u << 5 | 1u) << 16; // 1 January 1980
    }
    const auto year = static_cast<std::uint32_t>(std::min(local->year, 2107) - 1980);
    const auto date = year << 9 | static_cast<std::uint32_t>(local->month) << 5 |
                      static_cast<std::uint32_t>(local->day);
    const auto time = static_cast<std::uint32_t>(local->hour) << 11 |
                      static_cast<std::uint32_t>(local->minute) << 5 |
                      static_cast<std::uint32_t>(std::min(local->second, 59) / 2);
    return date << 16 | time;
}

std::string ArchiveName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '_');
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

} // namespace

std::uint32_t Crc32(std::uint32_t crc, std::span<const char> data) {
    crc = ~crc;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    while (n >= 8) {
        const std::uint32_t a =
            crc ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
        crc = Tables[7][a & 0xFF] ^ Tables[6][(a >> 8) & 0xFF] ^ Tables[5][(a >> 16) & 0xFF] ^
              Tables[4][a >> 24] ^ Tables[3][p[4]] ^ Tables[2][p[5]] ^ Tables[1][p[6]] ^
              Tables[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) {
        crc = Tables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

std::optional<std::uint32_t> CrcCache::Find(const std::string& path, std::int64_t size,
                                            std::int64_t modifiedNs) {
    const std::lock_guard lock(mutex_);
    const auto found = crcs_.find({path, size, modifiedNs});
    return found != crcs_.end() ? std::optional(found->second) : std::nullopt;
}

void CrcCache::Store(const std::string& path, std::int64_t size, std::int64_t modifiedNs,
                     std::uint32_t crc) {
    const std::lock_guard lock(mutex_);
    crcs_[{path, size, modifiedNs}] = crc;
}

std::vector<ZipSource> PublishedFiles(const std::string& folder) {
    std::vector<ZipSource> files;
    const auto entries = platform::ListFolder(folder);
    if (!entries) {
        return files;
    }
    for (const auto& entry : *entries) {
        // Folders, links and devices are not published copies, nor is the
        // folder's default page (a copy of that name takes "index(1).html");
        // a copy being made lies under a temporary name until it is whole.
        if ((entry.attributes & (platform::AttrDirectory | platform::AttrSystem)) != 0 ||
            entry.name == "index.html" ||
            (entry.name.starts_with(".tessary-") && entry.name.ends_with(".part"))) {
            continue;
        }
        files.push_back({entry.name, folder + entry.name, entry.size,
                         std::chrono::duration_cast<std::chrono::nanoseconds>(
                             entry.lastWrite.time_since_epoch())
                             .count()});
    }
    std::sort(files.begin(), files.end(),
              [](const ZipSource& a, const ZipSource& b) { return a.name < b.name; });
    return files;
}

void WarmCrcs(const std::vector<ZipSource>& files, CrcCache& crcs, std::stop_token stop) {
    std::vector<char> block(1 << 20);
    for (const auto& file : files) {
        if (stop.stop_requested()) {
            return;
        }
        if (crcs.Find(file.path, file.size, file.modifiedNs)) {
            continue;
        }
        auto open = platform::ReadOnlyFile::Open(file.path);
        if (!open || open->Size() != file.size || open->ModifiedNs() != file.modifiedNs) {
            continue;
        }
        std::uint32_t crc = 0;
        std::int64_t at = 0;
        while (at < file.size && !stop.stop_requested()) {
            const std::int64_t got = open->ReadAt(at, block);
            if (got <= 0) {
                break;
            }
            crc =
                Crc32(crc, {block.data(), static_cast<std::size_t>(std::min(got, file.size - at))});
            at += got;
        }
        if (at == file.size) {
            crcs.Store(file.path, file.size, file.modifiedNs, crc);
        }
    }
}

std::string ArchiveFileName(const platform::LocalDateTime& local) {
    char name[64];
    std::snprintf(name, sizeof name, "Files from the PC %04d-%02d-%02d.zip", local.year,
                  local.month, local.day);
    return name;
}

ZipStream::ZipStream(std::vector<ZipSource> files, CrcCache& crcs) : crcs_(crcs) {
    std::int64_t at = 0;
    for (auto& file : files) {
        Entry entry;
        file.name = ArchiveName(std::move(file.name));
        entry.source = std::move(file);
        entry.headerOffset = at;
        entry.zip64 = entry.source.size >= Max32;
        const std::int64_t header = static_cast<std::int64_t>(
            LocalHeaderSize + entry.source.name.size() + (entry.zip64 ? 20 : 0));
        const std::int64_t descriptor = entry.zip64 ? 24 : 16;
        const std::size_t index = entries_.size();
        pieces_.push_back({Piece::Kind::Header, index, at, header});
        at += header;
        entry.dataOffset = at;
        pieces_.push_back({Piece::Kind::Data, index, at, entry.source.size});
        at += entry.source.size;
        pieces_.push_back({Piece::Kind::Descriptor, index, at, descriptor});
        at += descriptor;
        entries_.push_back(std::move(entry));
    }
    directoryOffset_ = at;
    const std::int64_t directory = DirectoryLength();
    pieces_.push_back({Piece::Kind::Directory, 0, at, directory});
    size_ = at + directory;
}

std::string ZipStream::EntityTag() const {
    std::string text;
    for (const auto& entry : entries_) {
        text += entry.source.name + '\0' + std::to_string(entry.source.size) + '\0' +
                std::to_string(entry.source.modifiedNs) + '\0';
    }
    char tag[32];
    std::snprintf(tag, sizeof tag, "\"z%08x%x\"", Crc32(0, text),
                  static_cast<unsigned>(entries_.size()));
    return tag;
}

std::string ZipStream::LocalHeader(const Entry& entry) const {
    std::string out;
    Put32(out, 0x04034b50);
    Put16(out, entry.zip64 ? VersionZip64 : VersionPlain);
    Put16(out, Flags);
    Put16(out, 0); // stored
    Put32(out, DosDateTime(entry.source.modifiedNs));
    Put32(out, 0); // the CRC follows the data
    // The sizes are known: given here too, for readers that stream.
    Put32(out, Low32(entry.source.size));
    Put32(out, Low32(entry.source.size));
    Put16(out, static_cast<std::uint32_t>(entry.source.name.size()));
    Put16(out, entry.zip64 ? 20 : 0);
    out += entry.source.name;
    if (entry.zip64) {
        Put16(out, 0x0001);
        Put16(out, 16);
        Put64(out, static_cast<std::uint64_t>(entry.source.size));
        Put64(out, static_cast<std::uint64_t>(entry.source.size));
    }
    return out;
}

std::string ZipStream::Descriptor(const Entry& entry) const {
    std::string out;
    Put32(out, 0x08074b50);
    Put32(out, entry.crc.value_or(0));
    if (entry.zip64) {
        Put64(out, static_cast<std::uint64_t>(entry.source.size));
        Put64(out, static_cast<std::uint64_t>(entry.source.size));
    } else {
        Put32(out, static_cast<std::uint32_t>(entry.source.size));
        Put32(out, static_cast<std::uint32_t>(entry.source.size));
    }
    return out;
}

std::int64_t ZipStream::DirectoryLength() const {
    std::int64_t length = 0;
    for (const auto& entry : entries_) {
        const bool farOffset = entry.headerOffset >= Max32;
        const std::size_t extra = (entry.zip64 ? 16 : 0) + (farOffset ? 8 : 0);
        length += static_cast<std::int64_t>(CentralHeaderSize + entry.source.name.size() +
                                            (extra > 0 ? extra + 4 : 0));
    }
    const bool zip64End = entries_.size() >= Max16 || length >= Max32 || directoryOffset_ >= Max32;
    return length +
           static_cast<std::int64_t>((zip64End ? Zip64EndSize + Zip64LocatorSize : 0) + EndSize);
}

std::string ZipStream::Directory() {
    std::string out;
    for (const auto& entry : entries_) {
        const bool farOffset = entry.headerOffset >= Max32;
        const std::size_t extra = (entry.zip64 ? 16 : 0) + (farOffset ? 8 : 0);
        Put32(out, 0x02014b50);
        Put16(out, MadeBy);
        Put16(out, entry.zip64 || farOffset ? VersionZip64 : VersionPlain);
        Put16(out, Flags);
        Put16(out, 0);
        Put32(out, DosDateTime(entry.source.modifiedNs));
        Put32(out, entry.crc.value_or(0));
        Put32(out, Low32(entry.source.size));
        Put32(out, Low32(entry.source.size));
        Put16(out, static_cast<std::uint32_t>(entry.source.name.size()));
        Put16(out, static_cast<std::uint32_t>(extra > 0 ? extra + 4 : 0));
        Put16(out, 0); // comment
        Put16(out, 0); // disk
        Put16(out, 0); // internal attributes
        Put32(out, FileMode);
        Put32(out, Low32(entry.headerOffset));
        out += entry.source.name;
        if (extra > 0) {
            Put16(out, 0x0001);
            Put16(out, static_cast<std::uint32_t>(extra));
            if (entry.zip64) {
                Put64(out, static_cast<std::uint64_t>(entry.source.size));
                Put64(out, static_cast<std::uint64_t>(entry.source.size));
            }
            if (farOffset) {
                Put64(out, static_cast<std::uint64_t>(entry.headerOffset));
            }
        }
    }
    const auto length = static_cast<std::int64_t>(out.size());
    const std::uint64_t count = entries_.size();
    if (count >= Max16 || length >= Max32 || directoryOffset_ >= Max32) {
        const std::int64_t zip64EndAt = directoryOffset_ + length;
        Put32(out, 0x06064b50);
        Put64(out, Zip64EndSize - 12);
        Put16(out, MadeBy);
        Put16(out, VersionZip64);
        Put32(out, 0);
        Put32(out, 0);
        Put64(out, count);
        Put64(out, count);
        Put64(out, static_cast<std::uint64_t>(length));
        Put64(out, static_cast<std::uint64_t>(directoryOffset_));
        Put32(out, 0x07064b50);
        Put32(out, 0);
        Put64(out, static_cast<std::uint64_t>(zip64EndAt));
        Put32(out, 1);
    }
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, Max16)));
    Put16(out, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, Max16)));
    Put32(out, Low32(length));
    Put32(out, Low32(directoryOffset_));
    Put16(out, 0);
    return out;
}

std::int64_t ZipStream::ReadData(Entry& entry, std::int64_t offset, std::span<char> out) {
    const auto index = static_cast<std::size_t>(&entry - entries_.data());
    if (openEntry_ != index) {
        open_.reset();
        openEntry_ = SIZE_MAX;
        auto file = platform::ReadOnlyFile::Open(entry.source.path);
        // A file changed since the layout was made would not fit it.
        if (!file || file->Size() != entry.source.size ||
            file->ModifiedNs() != entry.source.modifiedNs) {
            return -1;
        }
        open_ = std::move(file);
        openEntry_ = index;
    }
    std::int64_t done = 0;
    while (done < static_cast<std::int64_t>(out.size())) {
        const std::int64_t got =
            open_->ReadAt(offset + done, out.subspan(static_cast<std::size_t>(done)));
        if (got <= 0) {
            return -1; // shorter than it was: changed under us
        }
        done += got;
    }
    return done;
}

std::optional<std::uint32_t> ZipStream::CrcOf(Entry& entry) {
    if (entry.crc) {
        return entry.crc;
    }
    entry.crc = crcs_.Find(entry.source.path, entry.source.size, entry.source.modifiedNs);
    if (entry.crc) {
        return entry.crc;
    }
    std::vector<char> block(1 << 20);
    std::uint32_t crc = 0;
    for (std::int64_t at = 0; at < entry.source.size;) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(block.size()), entry.source.size - at));
        if (ReadData(entry, at, {block.data(), want}) < 0) {
            return std::nullopt;
        }
        crc = Crc32(crc, {block.data(), want});
        at += static_cast<std::int64_t>(want);
    }
    entry.crc = crc;
    crcs_.Store(entry.source.path, entry.source.size, entry.source.modifiedNs, crc);
    return crc;
}

std::int64_t ZipStream::Read(std::int64_t offset, std::span<char> out) {
    std::int64_t done = 0;
    auto piece = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                                  [](std::int64_t at, const Piece& p) { return at < p.start; });
    if (piece != pieces_.begin()) {
        --piece;
    }
    for (; piece != pieces_.end() && done < static_cast<std::int64_t>(out.size()); ++piece) {
        const std::int64_t at = offset + done;
        if (at >= piece->start + piece->length) {
            continue;
        }
        const std::int64_t within = at - piece->start;
        const auto room = std::min<std::int64_t>(piece->length - within,
                                                 static_cast<std::int64_t>(out.size()) - done);
        const std::span<char> into =
            out.subspan(static_cast<std::size_t>(done), static_cast<std::size_t>(room));
        Entry& entry = entries_[piece->entry];
        if (piece->kind == Piece::Kind::Data) {
            if (ReadData(entry, within, into) < 0) {
                return -1;
            }
            // The CRC runs along while the file streams from its start,
            // unless it is known already.
            if (within == 0 && !entry.crc) {
                entry.crc =
                    crcs_.Find(entry.source.path, entry.source.size, entry.source.modifiedNs);
            }
            if (within == 0) {
                runEntry_ = piece->entry;
                runOffset_ = 0;
                runCrc_ = 0;
            }
            if (runEntry_ == piece->entry && runOffset_ == within && !entry.crc) {
                runCrc_ = Crc32(runCrc_, into);
                runOffset_ += room;
                if (runOffset_ == entry.source.size) {
                    entry.crc = runCrc_;
                    crcs_.Store(entry.source.path, entry.source.size, entry.source.modifiedNs,
                                runCrc_);
                }
            }
        } else {
            std::string bytes;
            if (piece->kind == Piece::Kind::Header) {
                bytes = LocalHeader(entry);
            } else if (piece->kind == Piece::Kind::Descriptor) {
                if (!CrcOf(entry)) {
                    return -1;
                }
                bytes = Descriptor(entry);
            } else {
                if (directory_.empty()) {
                    for (auto& each : entries_) {
                        if (!CrcOf(each)) {
                            return -1;
                        }
                    }
                    directory_ = Directory();
                }
                bytes = directory_;
            }
            std::memcpy(into.data(), bytes.data() + within, into.size());
        }
        done += room;
    }
    return done;
}

} // namespace engine
