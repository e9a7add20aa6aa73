// Finding and reading the central directory, the authority on what a ZIP
// archive holds.
#include <zlib.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <string_view>

#include "engine/format/zip/zip_internal.h"

namespace cindral::format::zip {
namespace {

constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kMaxCommentSize = 65535;

constexpr uint8_t kHostUnix = 3;
constexpr uint8_t kHostDarwin = 19;
constexpr uint32_t kDirectoryAttribute = 0x10;
constexpr uint32_t kPosixTypeMask = 0xF000;
constexpr uint32_t kPosixDirectory = 0x4000;

constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000;  // 1970-01-01 in FILETIME
constexpr uint64_t kTicksPerSecond = 10000000;

struct EndRecord {
  uint64_t position = 0;  // of the Zip64 end record when there is one
  uint64_t entry_count = 0;
  uint64_t directory_size = 0;
  uint64_t directory_offset = 0;
};

std::vector<uint8_t> ReadBytes(ArchiveSource& source, uint64_t offset, uint64_t size) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (size != 0) source.ReadAt(offset, bytes.data(), bytes.size());
  return bytes;
}

bool HasSignature(ArchiveSource& source, uint64_t offset, uint32_t signature) {
  if (offset > source.Size() || source.Size() - offset < 4) return false;
  uint8_t bytes[4];
  source.ReadAt(offset, bytes, sizeof bytes);
  return Load32(bytes) == signature;
}

// The end record lies in the last 64 KiB + 22 bytes. A comment may contain
// the signature too, so a record whose comment ends exactly at the end of the
// file wins over one followed by stray bytes.
uint64_t FindEndRecord(ArchiveSource& source, std::vector<uint8_t>& record) {
  const uint64_t size = source.Size();
  if (size < kEndSize) throw OpenError("not a ZIP archive");
  const uint64_t tail_size = std::min<uint64_t>(size, kMaxCommentSize + kEndSize);
  const uint64_t tail_start = size - tail_size;
  const std::vector<uint8_t> tail = ReadBytes(source, tail_start, tail_size);
  std::optional<size_t> found;
  for (size_t pos = tail.size() - kEndSize + 1; pos-- > 0;) {
    if (Load32(&tail[pos]) != kEndSignature) continue;
    const size_t end = pos + kEndSize + Load16(&tail[pos + 20]);
    if (end > tail.size()) continue;
    if (end == tail.size()) {
      found = pos;
      break;
    }
    if (!found) found = pos;
  }
  if (!found) {
    // The first volume of a split archive starts with the spanning marker
    // (the data descriptor's signature) before its first local header.
    if (HasSignature(source, 0, kDataDescriptorSignature) &&
        HasSignature(source, 4, kLocalHeaderSignature))
      throw SplitArchive("split archives are not supported");
    throw OpenError("not a ZIP archive");
  }
  record.assign(tail.begin() + static_cast<ptrdiff_t>(*found),
                tail.begin() + static_cast<ptrdiff_t>(*found + kEndSize));
  return tail_start + *found;
}

// Data in front of the archive (a self-extractor stub) moves the Zip64 end
// record from where the locator says; it then lies just before the locator.
std::optional<uint64_t> FindZip64End(ArchiveSource& source, uint64_t locator_position,
                                     uint64_t stated_offset) {
  if (stated_offset <= locator_position - kZip64EndSize &&
      HasSignature(source, stated_offset, kZip64EndSignature))
    return stated_offset;
  if (HasSignature(source, locator_position - kZip64EndSize, kZip64EndSignature))
    return locator_position - kZip64EndSize;
  return std::nullopt;
}

EndRecord ReadEndRecord(ArchiveSource& source) {
  std::vector<uint8_t> bytes;
  EndRecord end;
  end.position = FindEndRecord(source, bytes);
  const uint8_t* p = bytes.data();
  uint32_t disk = Load16(p + 4);
  uint32_t directory_disk = Load16(p + 6);
  uint64_t disk_entries = Load16(p + 8);
  end.entry_count = Load16(p + 10);
  end.directory_size = Load32(p + 12);
  end.directory_offset = Load32(p + 16);

  if (end.position >= kZip64LocatorSize + kZip64EndSize) {
    const uint64_t locator_position = end.position - kZip64LocatorSize;
    uint8_t locator[kZip64LocatorSize];
    source.ReadAt(locator_position, locator, sizeof locator);
    if (Load32(locator) == kZip64LocatorSignature) {
      if (Load32(locator + 16) > 1) throw SplitArchive("split archives are not supported");
      const std::optional<uint64_t> zip64_position =
          FindZip64End(source, locator_position, Load64(locator + 8));
      if (!zip64_position) throw OpenError("Zip64 end record is missing");
      const std::vector<uint8_t> zip64 = ReadBytes(source, *zip64_position, kZip64EndSize);
      end.position = *zip64_position;
      disk = Load32(&zip64[16]);
      directory_disk = Load32(&zip64[20]);
      disk_entries = Load64(&zip64[24]);
      end.entry_count = Load64(&zip64[32]);
      end.directory_size = Load64(&zip64[40]);
      end.directory_offset = Load64(&zip64[48]);
    }
  }
  if (disk != 0 || directory_disk != 0 || disk_entries != end.entry_count)
    throw SplitArchive("split archives are not supported");
  return end;
}

// Returns the offset the directory really starts at; the difference to the
// stated offset applies to every local header offset as well.
uint64_t LocateDirectory(ArchiveSource& source, const EndRecord& end) {
  if (end.directory_size > end.position) throw OpenError("central directory does not fit");
  if (end.directory_size == 0) {
    if (end.entry_count != 0) throw OpenError("central directory is missing");
    return end.position;
  }
  const uint64_t actual = end.position - end.directory_size;
  if (actual >= end.directory_offset && HasSignature(source, actual, kCentralHeaderSignature))
    return actual;
  // The directory may also lie elsewhere with stray bytes before the end
  // record, or before the entries' data.
  if (end.directory_offset <= end.position - end.directory_size &&
      HasSignature(source, end.directory_offset, kCentralHeaderSignature))
    return end.directory_offset;
  throw OpenError("central directory is missing");
}

std::optional<uint64_t> DosToFiletime(uint32_t dos_time, const LocalTimeToFiletime& local_time) {
  const int year = 1980 + static_cast<int>(dos_time >> 25);
  const int month = dos_time >> 21 & 0x0F;
  const int day = dos_time >> 16 & 0x1F;
  const int hour = dos_time >> 11 & 0x1F;
  const int minute = dos_time >> 5 & 0x3F;
  const int second = (dos_time & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  if (local_time) return local_time(year, month, day, hour, minute, second);
  return UtcToFiletime(year, month, day, hour, minute, second);
}

uint64_t UnixToFiletime(int64_t seconds) {
  return static_cast<uint64_t>(static_cast<int64_t>(kFiletimeUnixEpoch) +
                               seconds * static_cast<int64_t>(kTicksPerSecond));
}

// The extended timestamp holds 32-bit seconds whose sign its writers never
// agreed on; times after 2038 are far more common than times before 1970, so
// they are unsigned. Writers clamp earlier times to the first DOS date, 1980,
// so a DOS year of 1980 beside a time that could be either marks a file from
// before 1970.
int64_t ExtendedTimestampSeconds(uint32_t stored, uint32_t dos_time) {
  const bool dos_year_1980 = (dos_time >> 25) == 0;
  if (stored >= 0x80000000u && dos_year_1980) return static_cast<int32_t>(stored);
  return stored;
}

std::u16string MethodName(uint16_t method) {
  switch (method) {
    case kMethodStore:
      return u"Store";
    case 1:
      return u"Shrink";
    case 6:
      return u"Implode";
    case kMethodDeflate:
      return u"Deflate";
    case kMethodDeflate64:
      return u"Deflate64";
    case kMethodBzip2:
      return u"BZip2";
    case kMethodLzma:
      return u"LZMA";
    case 93:
      return u"Zstd";
    case 95:
      return u"XZ";
    case kMethodPpmd:
      return u"PPMd";
  }
  const std::string number = std::to_string(method);
  return u"Method " + std::u16string(number.begin(), number.end());
}

struct CentralHeader {
  uint8_t host = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dos_time = 0;
  uint32_t crc = 0;
  uint64_t packed_size = 0;
  uint64_t size = 0;
  uint32_t external_attributes = 0;
  uint64_t local_offset = 0;
  std::string_view name;
  std::span<const uint8_t> extra;
  std::string_view comment;
};

// Builds one item from its central header and extra fields. Malformed extra
// fields are skipped rather than failing the whole archive.
class ItemBuilder {
 public:
  ItemBuilder(const CentralHeader& header, const HostConversions& host)
      : header_(header), host_(host) {}

  void Build(Item& item, Entry& entry) {
    entry.flags = header_.flags;
    entry.method = header_.method;
    entry.dos_time = header_.dos_time;
    uint64_t size = header_.size;
    uint64_t packed_size = header_.packed_size;
    uint64_t local_offset = header_.local_offset;
    std::optional<std::u16string> unicode_name;
    std::optional<uint64_t> ntfs_times[3];
    std::optional<uint64_t> unix_times[3];
    bool has_aes = false;

    for (std::span<const uint8_t> rest = header_.extra; rest.size() >= 4;) {
      const uint16_t id = Load16(rest.data());
      const uint16_t length = Load16(rest.data() + 2);
      if (length > rest.size() - 4) break;
      const std::span<const uint8_t> data = rest.subspan(4, length);
      rest = rest.subspan(4 + length);
      switch (id) {
        case kExtraZip64:
          ReadZip64(data, size, packed_size, local_offset);
          break;
        case kExtraNtfs:
          ReadNtfsTimes(data, ntfs_times);
          break;
        case kExtraTimestamp:
          ReadUnixTimes(data, header_.dos_time, unix_times);
          break;
        case kExtraUnicodePath:
          unicode_name = ReadUnicodePath(data);
          break;
        case kExtraAes:
          has_aes = ReadAes(data, entry);
          break;
      }
    }

    const bool utf8 = (header_.flags & kFlagUtf8) != 0;
    if (utf8)
      item.path = DecodeUtf8(header_.name);
    else if (unicode_name)
      item.path = std::move(*unicode_name);
    else
      item.path = DecodeUnflaggedText(header_.name, host_.oem_text);
    if (!header_.comment.empty())
      item.comment =
          utf8 ? DecodeUtf8(header_.comment) : DecodeUnflaggedText(header_.comment, host_.oem_text);

    item.size = size;
    item.packed_size = packed_size;
    entry.local_offset = local_offset;
    SetAttributes(item);
    for (int i = 0; i < 3; ++i)
      if (!ntfs_times[i]) ntfs_times[i] = unix_times[i];
    item.modification_time = ntfs_times[0];
    item.access_time = ntfs_times[1];
    item.creation_time = ntfs_times[2];
    if (!item.modification_time)
      item.modification_time = DosToFiletime(header_.dos_time, host_.local_time);

    SetEncryption(item, entry, has_aes);
    if (entry.check_crc) item.crc = header_.crc;
  }

 private:
  // Only the fields whose 32-bit value is saturated are present, in this order.
  static void ReadZip64(std::span<const uint8_t> data, uint64_t& size, uint64_t& packed_size,
                        uint64_t& local_offset) {
    size_t pos = 0;
    for (uint64_t* field : {&size, &packed_size, &local_offset}) {
      if (*field != 0xFFFFFFFF) continue;
      if (data.size() - pos < 8) return;
      *field = Load64(data.data() + pos);
      pos += 8;
    }
  }

  // Tag 1 holds modification, access and creation time as FILETIMEs.
  static void ReadNtfsTimes(std::span<const uint8_t> data, std::optional<uint64_t> (&times)[3]) {
    for (size_t pos = 4; pos + 4 <= data.size();) {
      const uint16_t tag = Load16(data.data() + pos);
      const uint16_t length = Load16(data.data() + pos + 2);
      pos += 4;
      if (length > data.size() - pos) return;
      if (tag == 1 && length >= 24) {
        for (int i = 0; i < 3; ++i) times[i] = Load64(data.data() + pos + 8 * i);
        return;
      }
      pos += length;
    }
  }

  // The flags announce modification, access and creation time, but a central
  // header usually carries only the first; the length tells what is there.
  static void ReadUnixTimes(std::span<const uint8_t> data, uint32_t dos_time,
                            std::optional<uint64_t> (&times)[3]) {
    if (data.empty()) return;
    const uint8_t flags = data[0];
    size_t pos = 1;
    for (int i = 0; i < 3; ++i) {
      if ((flags & 1 << i) == 0) continue;
      if (data.size() - pos < 4) return;
      times[i] = UnixToFiletime(ExtendedTimestampSeconds(Load32(data.data() + pos), dos_time));
      pos += 4;
    }
  }

  // Trusted only while it still belongs to the raw name it was written for.
  std::optional<std::u16string> ReadUnicodePath(std::span<const uint8_t> data) const {
    if (data.size() < 5 || data[0] != 1) return std::nullopt;
    const uint32_t name_crc =
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(header_.name.data()),
                                    static_cast<uInt>(header_.name.size())));
    if (Load32(data.data() + 1) != name_crc) return std::nullopt;
    return DecodeUtf8(
        std::string_view(reinterpret_cast<const char*>(data.data() + 5), data.size() - 5));
  }

  static bool ReadAes(std::span<const uint8_t> data, Entry& entry) {
    if (data.size() < 7 || data[2] != 'A' || data[3] != 'E') return false;
    const uint16_t version = Load16(data.data());
    const uint8_t strength = data[4];
    if ((version != 1 && version != 2) || strength < 1 || strength > 3) return false;
    entry.aes_strength = strength;
    entry.check_crc = version == 1;
    entry.method = Load16(data.data() + 5);
    return true;
  }

  void SetAttributes(Item& item) const {
    const uint32_t external = header_.external_attributes;
    const bool unix_host = header_.host == kHostUnix || header_.host == kHostDarwin;
    const uint32_t posix_mode = unix_host ? external >> 16 : 0;
    const bool slash = !header_.name.empty() && header_.name.back() == '/';
    item.is_directory = slash || (external & kDirectoryAttribute) != 0 ||
                        (posix_mode & kPosixTypeMask) == kPosixDirectory;
    if (unix_host) {
      item.attributes = (external & 0xFF) | (item.is_directory ? kDirectoryAttribute : 0);
      if (posix_mode != 0) item.posix_mode = posix_mode;
    } else {
      item.attributes = external & 0xFFFF;
    }
  }

  void SetEncryption(Item& item, Entry& entry, bool has_aes) const {
    const bool flagged = (header_.flags & kFlagEncrypted) != 0;
    item.encrypted = flagged || header_.method == kMethodAes;
    if (header_.method == kMethodAes) {
      entry.encryption = has_aes ? Encryption::kAes : Encryption::kUnsupported;
      if (!has_aes) entry.check_crc = true;
    } else if (flagged) {
      const bool strong = (header_.flags & kFlagStrongEncryption) != 0;
      entry.encryption = strong ? Encryption::kUnsupported : Encryption::kZipCrypto;
    }
    std::u16string method = MethodName(entry.method);
    switch (entry.encryption) {
      case Encryption::kNone:
        break;
      case Encryption::kZipCrypto:
        method = u"ZipCrypto " + method;
        break;
      case Encryption::kAes: {
        static const char16_t* const kNames[] = {u"AES-128 ", u"AES-192 ", u"AES-256 "};
        method = kNames[entry.aes_strength - 1] + method;
        break;
      }
      case Encryption::kUnsupported:
        method = header_.method == kMethodAes ? u"AES" : u"Strong encryption " + method;
        break;
    }
    item.method = std::move(method);
  }

  const CentralHeader& header_;
  const HostConversions& host_;
};

// Entries whose bytes begin inside an earlier entry's bytes share data: the
// shape of overlapping zip bombs. The span counted here, header plus packed
// data, is never more than the real one, so honest layouts never trip it.
void MarkOverlaps(Directory& directory) {
  std::vector<uint32_t> order(directory.entries.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return directory.entries[a].local_offset < directory.entries[b].local_offset;
  });
  uint64_t covered_until = 0;
  bool first = true;
  for (const uint32_t index : order) {
    Entry& entry = directory.entries[index];
    if (!first && entry.local_offset < covered_until) entry.overlaps = true;
    first = false;
    const uint64_t packed = directory.items[index].packed_size.value_or(0);
    const uint64_t end = SaturatingAdd(SaturatingAdd(entry.local_offset, kLocalHeaderSize), packed);
    covered_until = std::max(covered_until, end);
  }
}

}  // namespace

uint64_t UtcToFiletime(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
  const int y = year - (month <= 2);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int year_of_era = y - era * 400;
  const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const int64_t days = int64_t{era} * 146097 + day_of_era - 719468;
  const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return static_cast<uint64_t>(static_cast<int64_t>(kFiletimeUnixEpoch) +
                               seconds * static_cast<int64_t>(kTicksPerSecond));
}

Directory ReadDirectory(ArchiveSource& source, const HostConversions& host) {
  const EndRecord end = ReadEndRecord(source);
  const uint64_t directory_start = LocateDirectory(source, end);
  const uint64_t shift = directory_start - end.directory_offset;
  if (end.entry_count > end.directory_size / kCentralHeaderSize)
    throw OpenError("entry count does not fit the central directory");
  if (end.entry_count > kMaxListedItems) throw TooManyItems(end.entry_count);
  const std::vector<uint8_t> bytes = ReadBytes(source, directory_start, end.directory_size);

  Directory directory;
  directory.items.reserve(static_cast<size_t>(end.entry_count));
  directory.entries.reserve(static_cast<size_t>(end.entry_count));
  // The count may have wrapped at 65536 in archives without Zip64 records, so
  // the directory's size, not the count, bounds the walk.
  size_t pos = 0;
  while (bytes.size() - pos >= kCentralHeaderSize &&
         Load32(&bytes[pos]) == kCentralHeaderSignature) {
    const uint8_t* p = &bytes[pos];
    const size_t name_length = Load16(p + 28);
    const size_t extra_length = Load16(p + 30);
    const size_t comment_length = Load16(p + 32);
    const size_t total = kCentralHeaderSize + name_length + extra_length + comment_length;
    if (total > bytes.size() - pos) throw OpenError("central directory is damaged");
    CentralHeader header;
    header.host = p[5];
    header.flags = Load16(p + 8);
    header.method = Load16(p + 10);
    header.dos_time = uint32_t{Load16(p + 14)} << 16 | Load16(p + 12);
    header.crc = Load32(p + 16);
    header.packed_size = Load32(p + 20);
    header.size = Load32(p + 24);
    header.external_attributes = Load32(p + 38);
    header.local_offset = Load32(p + 42);
    const char* text = reinterpret_cast<const char*>(p + kCentralHeaderSize);
    header.name = std::string_view(text, name_length);
    header.extra = std::span(p + kCentralHeaderSize + name_length, extra_length);
    header.comment = std::string_view(text + name_length + extra_length, comment_length);

    Item& item = directory.items.emplace_back();
    Entry& entry = directory.entries.emplace_back();
    ItemBuilder(header, host).Build(item, entry);
    entry.local_offset = SaturatingAdd(entry.local_offset, shift);
    pos += total;
  }
  if (directory.items.size() < end.entry_count) throw OpenError("central directory is damaged");
  MarkOverlaps(directory);
  return directory;
}

}  // namespace cindral::format::zip
