// The 7z archive database: what the signature header and the (possibly
// encoded) next header say about pack streams, folders and files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cindral::format::sevenz {

struct Coder {
  uint64_t id = 0;  // method id bytes read big-endian, e.g. 0x030101 for LZMA
  uint32_t num_in = 1;
  uint32_t num_out = 1;
  std::vector<uint8_t> properties;
};

// In the decoding direction: coder input in_index is fed by coder output out_index.
struct BindPair {
  uint32_t in_index = 0;
  uint32_t out_index = 0;
};

struct Folder {
  std::vector<Coder> coders;
  std::vector<BindPair> bind_pairs;
  std::vector<uint32_t> packed_streams;  // coder input indices fed from pack streams
  std::vector<uint64_t> unpack_sizes;    // one per coder output
  std::optional<uint32_t> crc;
  uint32_t first_pack_stream = 0;  // index into StreamsInfo::pack_sizes
  uint32_t main_out = 0;           // the output that is bound to no coder input

  uint64_t UnpackSize() const { return unpack_sizes[main_out]; }
};

struct StreamsInfo {
  uint64_t pack_position = 0;  // relative to the end of the signature header
  std::vector<uint64_t> pack_sizes;
  std::vector<uint64_t> pack_offsets;  // absolute archive offsets
  std::vector<Folder> folders;
  // Per folder, how many files' streams it holds, and those streams' sizes and CRCs.
  std::vector<uint64_t> num_substreams;
  std::vector<uint64_t> substream_sizes;
  std::vector<std::optional<uint32_t>> substream_crcs;
};

struct FileEntry {
  std::u16string name;
  bool has_stream = true;
  bool is_empty_directory = false;  // an empty stream that is not an empty file
  bool is_anti = false;
  std::optional<uint32_t> attributes;
  std::optional<uint64_t> creation_time;
  std::optional<uint64_t> access_time;
  std::optional<uint64_t> modification_time;
};

struct Database {
  StreamsInfo streams;
  std::vector<FileEntry> files;
};

// Fixed-size header at offset 0.
struct SignatureHeader {
  uint64_t next_header_offset = 0;  // relative to the end of this header
  uint64_t next_header_size = 0;
  uint32_t next_header_crc = 0;
};

inline constexpr size_t kSignatureHeaderSize = 32;

uint32_t Crc32(std::span<const uint8_t> bytes);

// Each parser throws OpenError on anything malformed; no count or size is
// trusted before it is checked against the bytes that remain.
SignatureHeader ParseSignatureHeader(std::span<const uint8_t> bytes);

// The next header starts either with kHeader or with kEncodedHeader; for the
// latter only the streams that hold the real header are returned.
enum class HeaderKind { kPlain, kEncoded };
HeaderKind PeekHeaderKind(std::span<const uint8_t> header);
StreamsInfo ParseEncodedHeader(std::span<const uint8_t> header, uint64_t archive_size);
Database ParseHeader(std::span<const uint8_t> header, uint64_t archive_size);

}  // namespace cindral::format::sevenz
