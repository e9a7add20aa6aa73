#include "engine/format/sevenz/sevenz_header.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "engine/format/archive.h"

namespace cindral::format::sevenz {
namespace {

enum PropertyId : uint64_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kAdditionalStreamsInfo = 0x03,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kNumUnpackStream = 0x0D,
  kEmptyStream = 0x0E,
  kEmptyFile = 0x0F,
  kAnti = 0x10,
  kName = 0x11,
  kCTime = 0x12,
  kATime = 0x13,
  kMTime = 0x14,
  kWinAttributes = 0x15,
  kEncodedHeader = 0x17,
  kDummy = 0x19,
};

constexpr uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
// Far beyond what any encoder writes; keeps a hostile folder from building a huge graph.
constexpr uint64_t kMaxCoderStreams = 64;
// No Windows path is longer; a longer name is a trap for the memory of
// every copy made of it.
constexpr size_t kMaxNameUnits = 32767;

[[noreturn]] void Fail(const char* what) { throw OpenError(what); }

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t LoadLe64(const uint8_t* p) { return LoadLe32(p) | uint64_t{LoadLe32(p + 4)} << 32; }

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t Remaining() const { return bytes_.size() - position_; }

  uint8_t Byte() {
    if (Remaining() == 0) Fail("truncated 7z header");
    return bytes_[position_++];
  }

  std::span<const uint8_t> Bytes(uint64_t count) {
    if (count > Remaining()) Fail("truncated 7z header");
    const auto span = bytes_.subspan(position_, static_cast<size_t>(count));
    position_ += static_cast<size_t>(count);
    return span;
  }

  uint32_t Le32() { return LoadLe32(Bytes(4).data()); }
  uint64_t Le64() { return LoadLe64(Bytes(8).data()); }

  // The first byte's leading one bits count the little-endian bytes that
  // follow; its remaining low bits are the value's top bits.
  uint64_t Number() {
    const uint8_t first = Byte();
    uint64_t value = 0;
    uint8_t mask = 0x80;
    for (int i = 0; i < 8; ++i) {
      if ((first & mask) == 0) {
        const uint64_t high = first & (mask - 1u);
        return value | high << (8 * i);
      }
      value |= uint64_t{Byte()} << (8 * i);
      mask >>= 1;
    }
    return value;
  }

  // A count of things that each take at least bytes_each header bytes.
  uint64_t Count(uint64_t bytes_each = 1) {
    const uint64_t count = Number();
    if (count > Remaining() / bytes_each) Fail("7z header count exceeds its data");
    return count;
  }

  uint32_t Index(uint64_t limit) {
    const uint64_t index = Number();
    if (index >= limit) Fail("7z header index out of range");
    return static_cast<uint32_t>(index);
  }

  void Expect(uint64_t id) {
    if (Number() != id) Fail("unexpected 7z header property");
  }

  std::vector<bool> BitVector(uint64_t count) {
    const auto bytes = Bytes((count + 7) / 8);
    std::vector<bool> bits(static_cast<size_t>(count));
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = (bytes[i / 8] >> (7 - i % 8)) & 1;
    return bits;
  }

  // An "all defined" byte, followed by the bit vector when it is zero; each
  // defined item then takes item_size bytes.
  std::vector<bool> DefinedVector(uint64_t count, size_t item_size) {
    if (Byte() != 0) {
      if (count > Remaining() / item_size) Fail("7z header count exceeds its data");
      return std::vector<bool>(static_cast<size_t>(count), true);
    }
    return BitVector(count);
  }

  std::vector<std::optional<uint32_t>> Digests(uint64_t count) {
    const std::vector<bool> defined = DefinedVector(count, 4);
    std::vector<std::optional<uint32_t>> digests(defined.size());
    for (size_t i = 0; i < digests.size(); ++i)
      if (defined[i]) digests[i] = Le32();
    return digests;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

void SkipArchiveProperties(ByteReader& reader) {
  while (reader.Number() != kEnd) reader.Bytes(reader.Number());
}

void ParsePackInfo(ByteReader& reader, StreamsInfo& info, uint64_t archive_size) {
  info.pack_position = reader.Number();
  const uint64_t count = reader.Count();
  uint64_t id = reader.Number();
  if (id != kSize) Fail("7z pack info without sizes");
  uint64_t offset = info.pack_position;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t size = reader.Number();
    info.pack_offsets.push_back(offset + kSignatureHeaderSize);
    info.pack_sizes.push_back(size);
    if (size > archive_size || offset > archive_size - size) Fail("7z pack stream beyond archive");
    offset += size;
  }
  while ((id = reader.Number()) != kEnd) {
    if (id == kCrc) {
      reader.Digests(count);  // the folders' CRCs already cover the unpacked data
      continue;
    }
    reader.Bytes(reader.Number());
  }
}

Folder ParseFolder(ByteReader& reader) {
  Folder folder;
  const uint64_t num_coders = reader.Count(2);
  if (num_coders == 0 || num_coders > kMaxCoderStreams) Fail("bad 7z coder count");
  uint64_t total_in = 0;
  uint64_t total_out = 0;
  for (uint64_t i = 0; i < num_coders; ++i) {
    const uint8_t flags = reader.Byte();
    if (flags & 0xC0) Fail("unsupported 7z coder flags");
    Coder coder;
    for (uint8_t byte : reader.Bytes(flags & 0x0F)) coder.id = coder.id << 8 | byte;
    if (flags & 0x10) {
      const uint64_t num_in = reader.Number();
      const uint64_t num_out = reader.Number();
      if (num_in == 0 || num_out == 0 || num_in > kMaxCoderStreams || num_out > kMaxCoderStreams)
        Fail("bad 7z coder stream count");
      coder.num_in = static_cast<uint32_t>(num_in);
      coder.num_out = static_cast<uint32_t>(num_out);
    }
    if (flags & 0x20) {
      const auto properties = reader.Bytes(reader.Number());
      coder.properties.assign(properties.begin(), properties.end());
    }
    total_in += coder.num_in;
    total_out += coder.num_out;
    folder.coders.push_back(std::move(coder));
  }
  if (total_in > kMaxCoderStreams || total_out > kMaxCoderStreams || total_in < total_out)
    Fail("bad 7z folder stream count");

  std::vector<bool> in_bound(total_in);
  std::vector<bool> out_bound(total_out);
  for (uint64_t i = 0; i + 1 < total_out; ++i) {
    BindPair pair;
    pair.in_index = reader.Index(total_in);
    pair.out_index = reader.Index(total_out);
    if (in_bound[pair.in_index] || out_bound[pair.out_index]) Fail("bad 7z bind pair");
    in_bound[pair.in_index] = out_bound[pair.out_index] = true;
    folder.bind_pairs.push_back(pair);
  }
  folder.main_out = static_cast<uint32_t>(std::find(out_bound.begin(), out_bound.end(), false) -
                                          out_bound.begin());

  const uint64_t num_packed = total_in - folder.bind_pairs.size();
  if (num_packed == 1) {
    const auto free_in = std::find(in_bound.begin(), in_bound.end(), false);
    folder.packed_streams.push_back(static_cast<uint32_t>(free_in - in_bound.begin()));
    return folder;
  }
  for (uint64_t i = 0; i < num_packed; ++i) {
    const uint32_t index = reader.Index(total_in);
    if (in_bound[index]) Fail("bad 7z packed stream index");
    in_bound[index] = true;
    folder.packed_streams.push_back(index);
  }
  return folder;
}

// Every coder output must lead, through bind pairs, to the main output
// without a cycle; otherwise building the decoder graph would not end.
void CheckFolderGraph(const Folder& folder) {
  std::vector<uint32_t> first_in;
  std::vector<uint32_t> out_owner;
  uint32_t in_count = 0;
  for (uint32_t c = 0; c < folder.coders.size(); ++c) {
    first_in.push_back(in_count);
    in_count += folder.coders[c].num_in;
    for (uint32_t o = 0; o < folder.coders[c].num_out; ++o) out_owner.push_back(c);
  }
  auto coder_of_in = [&](uint32_t in) {
    return static_cast<uint32_t>(std::upper_bound(first_in.begin(), first_in.end(), in) -
                                 first_in.begin() - 1);
  };
  // Walk from each coder towards the main output: each step follows the
  // bind pair that consumes one of the coder's outputs.
  for (uint32_t start = 0; start < folder.coders.size(); ++start) {
    uint32_t coder = start;
    for (size_t steps = 0;; ++steps) {
      if (steps > folder.coders.size()) Fail("cyclic 7z folder");
      uint32_t out_base = 0;
      for (uint32_t c = 0; c < coder; ++c) out_base += folder.coders[c].num_out;
      if (folder.coders[coder].num_out != 1) break;  // rejected later as unsupported
      if (out_base == folder.main_out) break;
      const auto pair = std::find_if(folder.bind_pairs.begin(), folder.bind_pairs.end(),
                                     [&](const BindPair& p) { return p.out_index == out_base; });
      if (pair == folder.bind_pairs.end()) Fail("bad 7z folder graph");
      coder = coder_of_in(pair->in_index);
    }
  }
}

void ParseUnpackInfo(ByteReader& reader, StreamsInfo& info) {
  reader.Expect(kFolder);
  const uint64_t num_folders = reader.Count(2);
  if (reader.Byte() != 0) Fail("external 7z folders are not supported");
  uint64_t pack_index = 0;
  for (uint64_t i = 0; i < num_folders; ++i) {
    Folder folder = ParseFolder(reader);
    CheckFolderGraph(folder);
    folder.first_pack_stream = static_cast<uint32_t>(pack_index);
    pack_index += folder.packed_streams.size();
    if (pack_index > info.pack_sizes.size()) Fail("7z folders use more pack streams than exist");
    info.folders.push_back(std::move(folder));
  }
  reader.Expect(kCodersUnpackSize);
  for (Folder& folder : info.folders) {
    uint32_t outputs = 0;
    for (const Coder& coder : folder.coders) outputs += coder.num_out;
    for (uint32_t i = 0; i < outputs; ++i) folder.unpack_sizes.push_back(reader.Number());
  }
  uint64_t id;
  while ((id = reader.Number()) != kEnd) {
    if (id != kCrc) {
      reader.Bytes(reader.Number());
      continue;
    }
    const auto digests = reader.Digests(info.folders.size());
    for (size_t i = 0; i < digests.size(); ++i) info.folders[i].crc = digests[i];
  }
}

void ParseSubStreamsInfo(ByteReader& reader, StreamsInfo& info) {
  const size_t num_folders = info.folders.size();
  info.num_substreams.assign(num_folders, 1);
  uint64_t id = reader.Number();
  if (id == kNumUnpackStream) {
    uint64_t extra_sizes = 0;  // each stream but a folder's last has its size stored
    for (uint64_t& count : info.num_substreams) {
      count = reader.Number();
      if (count > 1) extra_sizes += count - 1;
      if (extra_sizes > reader.Remaining()) Fail("7z substream count exceeds its data");
    }
    id = reader.Number();
  }
  const bool has_sizes = id == kSize;
  for (size_t f = 0; f < num_folders; ++f) {
    const uint64_t count = info.num_substreams[f];
    if (count == 0) continue;
    const uint64_t folder_size = info.folders[f].UnpackSize();
    uint64_t sum = 0;
    for (uint64_t i = 0; i + 1 < count; ++i) {
      if (!has_sizes) Fail("7z substream sizes missing");
      const uint64_t size = reader.Number();
      if (size > folder_size - sum) Fail("7z substream sizes exceed their folder");
      sum += size;
      info.substream_sizes.push_back(size);
    }
    info.substream_sizes.push_back(folder_size - sum);
  }
  if (has_sizes) id = reader.Number();

  // Streams alone in a folder with a known CRC take that CRC; the rest are listed here.
  uint64_t unknown = 0;
  for (size_t f = 0; f < num_folders; ++f) {
    const uint64_t count = info.num_substreams[f];
    if (!(count == 1 && info.folders[f].crc)) unknown += count;
  }
  std::vector<std::optional<uint32_t>> listed;
  for (; id != kEnd; id = reader.Number()) {
    if (id == kCrc) {
      listed = reader.Digests(unknown);
    } else {
      reader.Bytes(reader.Number());
    }
  }
  size_t next_listed = 0;
  for (size_t f = 0; f < num_folders; ++f) {
    const uint64_t count = info.num_substreams[f];
    if (count == 1 && info.folders[f].crc) {
      info.substream_crcs.push_back(info.folders[f].crc);
      continue;
    }
    for (uint64_t i = 0; i < count; ++i, ++next_listed)
      info.substream_crcs.push_back(next_listed < listed.size() ? listed[next_listed]
                                                                : std::nullopt);
  }
}

StreamsInfo ParseStreamsInfo(ByteReader& reader, uint64_t archive_size) {
  StreamsInfo info;
  uint64_t id = reader.Number();
  if (id == kPackInfo) {
    ParsePackInfo(reader, info, archive_size);
    id = reader.Number();
  }
  if (id == kUnpackInfo) {
    ParseUnpackInfo(reader, info);
    id = reader.Number();
  }
  bool has_substreams = false;
  if (id == kSubStreamsInfo) {
    ParseSubStreamsInfo(reader, info);
    has_substreams = true;
    id = reader.Number();
  }
  if (id != kEnd) Fail("unexpected 7z streams info property");
  if (!has_substreams) {
    info.num_substreams.assign(info.folders.size(), 1);
    for (const Folder& folder : info.folders) {
      info.substream_sizes.push_back(folder.UnpackSize());
      info.substream_crcs.push_back(folder.crc);
    }
  }
  return info;
}

void ParseTimes(ByteReader reader, std::vector<FileEntry>& files,
                std::optional<uint64_t> FileEntry::*member) {
  const std::vector<bool> defined = reader.DefinedVector(files.size(), 8);
  if (reader.Byte() != 0) Fail("external 7z file times are not supported");
  for (size_t i = 0; i < files.size(); ++i)
    if (defined[i]) files[i].*member = reader.Le64();
}

void ParseAttributes(ByteReader reader, std::vector<FileEntry>& files) {
  const std::vector<bool> defined = reader.DefinedVector(files.size(), 4);
  if (reader.Byte() != 0) Fail("external 7z attributes are not supported");
  for (size_t i = 0; i < files.size(); ++i)
    if (defined[i]) files[i].attributes = reader.Le32();
}

void ParseNames(ByteReader reader, std::vector<FileEntry>& files) {
  if (reader.Byte() != 0) Fail("external 7z names are not supported");
  for (FileEntry& file : files) {
    for (;;) {
      const auto unit = reader.Bytes(2);
      const char16_t c = static_cast<char16_t>(unit[0] | unit[1] << 8);
      if (c == 0) break;
      if (file.name.size() == kMaxNameUnits) Fail("7z name too long");
      file.name.push_back(c);
    }
  }
}

std::vector<FileEntry> ParseFilesInfo(ByteReader& reader, uint64_t num_stream_files) {
  const uint64_t num_files = reader.Number();
  std::vector<std::pair<uint64_t, ByteReader>> properties;
  for (uint64_t id; (id = reader.Number()) != kEnd;)
    properties.emplace_back(id, ByteReader(reader.Bytes(reader.Number())));

  // Bound the count by the bytes that must describe each file before allocating:
  // two per name, or one bit of the empty-stream vector for files without a stream.
  uint64_t limit = num_stream_files;
  for (const auto& [id, property] : properties) {
    if (id == kEmptyStream) limit += uint64_t{property.Remaining()} * 8;
  }
  for (const auto& [id, property] : properties) {
    if (id == kName) limit = std::min<uint64_t>(limit, property.Remaining() / 2);
  }
  if (num_files > limit) Fail("7z file count exceeds its data");
  if (num_files > kMaxListedItems) throw TooManyItems(num_files);

  std::vector<FileEntry> files(static_cast<size_t>(num_files));
  std::vector<bool> empty_stream(files.size());
  std::vector<bool> empty_file;
  std::vector<bool> anti;
  uint64_t num_empty = 0;
  for (auto& [id, property] : properties) {
    switch (id) {
      case kEmptyStream:
        empty_stream = property.BitVector(num_files);
        num_empty = std::count(empty_stream.begin(), empty_stream.end(), true);
        empty_file.assign(num_empty, false);
        anti.assign(num_empty, false);
        break;
      case kEmptyFile:
        empty_file = property.BitVector(num_empty);
        break;
      case kAnti:
        anti = property.BitVector(num_empty);
        break;
      case kName:
        ParseNames(property, files);
        break;
      case kCTime:
        ParseTimes(property, files, &FileEntry::creation_time);
        break;
      case kATime:
        ParseTimes(property, files, &FileEntry::access_time);
        break;
      case kMTime:
        ParseTimes(property, files, &FileEntry::modification_time);
        break;
      case kWinAttributes:
        ParseAttributes(property, files);
        break;
      default:  // kDummy padding, kStartPos, comments and anything newer
        break;
    }
  }
  if (num_files - num_empty != num_stream_files) Fail("7z file count does not match its streams");
  size_t empty_index = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!empty_stream[i]) continue;
    files[i].has_stream = false;
    files[i].is_empty_directory = !empty_file[empty_index];
    files[i].is_anti = anti[empty_index];
    ++empty_index;
  }
  return files;
}

uint64_t CountStreams(const StreamsInfo& info) {
  uint64_t total = 0;
  for (uint64_t count : info.num_substreams) total += count;
  return total;
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
  uLong crc = crc32(0, nullptr, 0);
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t chunk = std::min<size_t>(bytes.size() - done, 1u << 30);
    crc = crc32(crc, bytes.data() + done, static_cast<uInt>(chunk));
    done += chunk;
  }
  return static_cast<uint32_t>(crc);
}

SignatureHeader ParseSignatureHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kSignatureHeaderSize || std::memcmp(bytes.data(), kSignature, 6) != 0)
    Fail("not a 7z archive");
  if (bytes[6] != 0) Fail("unsupported 7z version");
  if (Crc32(bytes.subspan(12, 20)) != LoadLe32(bytes.data() + 8))
    Fail("7z start header CRC mismatch");
  SignatureHeader header;
  header.next_header_offset = LoadLe64(bytes.data() + 12);
  header.next_header_size = LoadLe64(bytes.data() + 20);
  header.next_header_crc = LoadLe32(bytes.data() + 28);
  return header;
}

HeaderKind PeekHeaderKind(std::span<const uint8_t> header) {
  ByteReader reader(header);
  const uint64_t id = reader.Number();
  if (id == kHeader) return HeaderKind::kPlain;
  if (id == kEncodedHeader) return HeaderKind::kEncoded;
  Fail("unknown 7z header type");
}

StreamsInfo ParseEncodedHeader(std::span<const uint8_t> header, uint64_t archive_size) {
  ByteReader reader(header);
  reader.Expect(kEncodedHeader);
  StreamsInfo info = ParseStreamsInfo(reader, archive_size);
  if (info.folders.empty()) Fail("7z encoded header without folders");
  return info;
}

Database ParseHeader(std::span<const uint8_t> header, uint64_t archive_size) {
  ByteReader reader(header);
  reader.Expect(kHeader);
  Database database;
  uint64_t id = reader.Number();
  if (id == kArchiveProperties) {
    SkipArchiveProperties(reader);
    id = reader.Number();
  }
  if (id == kAdditionalStreamsInfo) {
    ParseStreamsInfo(reader, archive_size);  // only referenced by "external" data, refused above
    id = reader.Number();
  }
  if (id == kMainStreamsInfo) {
    database.streams = ParseStreamsInfo(reader, archive_size);
    id = reader.Number();
  }
  if (id == kFilesInfo) {
    database.files = ParseFilesInfo(reader, CountStreams(database.streams));
    id = reader.Number();
  } else if (CountStreams(database.streams) != 0) {
    Fail("7z streams without files");
  }
  if (id != kEnd) Fail("unexpected 7z header property");
  return database;
}

}  // namespace cindral::format::sevenz
