// Turns a 7z folder into a pull stream of its unpacked bytes: every coder is
// an InStream whose inputs are pack streams or other coders' outputs.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/codec/stream.h"
#include "engine/format/archive.h"
#include "engine/format/sevenz/sevenz_header.h"

namespace cindral::format::sevenz {

class KeyCache;

// What a coder may need besides its inputs.
struct DecodeContext {
  unsigned threads = 1;
  KeyCache* keys = nullptr;  // null: an encrypted folder cannot be decoded
};

inline constexpr uint64_t kAesMethodId = 0x06F10701;

bool IsEncrypted(const Folder& folder);
// False when a coder's method is unknown or its decoder is not built in.
bool IsSupported(const Folder& folder);
// The coders' names and main properties in stored order, e.g. u"BCJ LZMA2:24".
std::u16string DescribeMethods(const Folder& folder);

// Reads one byte range of the archive.
class PackStream final : public codec::InStream {
 public:
  PackStream(ArchiveSource& source, uint64_t offset, uint64_t size);
  size_t Read(uint8_t* data, size_t size) override;

 private:
  ArchiveSource& source_;
  uint64_t offset_;
  uint64_t remaining_;
  std::vector<uint8_t> buffer_;
  size_t buffer_position_ = 0;
  size_t buffer_size_ = 0;
};

class FolderDecoder {
 public:
  // Throws codec::Unsupported for a method without a decoder.
  FolderDecoder(ArchiveSource& source, const StreamsInfo& streams, const Folder& folder,
                const DecodeContext& context);
  ~FolderDecoder();
  codec::InStream& Output() { return *output_; }

 private:
  codec::InStream& BuildOutput(uint32_t out_index);

  ArchiveSource& source_;
  const StreamsInfo& streams_;
  const Folder& folder_;
  DecodeContext context_;
  std::vector<uint32_t> first_in_;  // per coder, its first input index
  std::vector<uint32_t> first_out_;
  // Inputs must outlive the decoders that read them: destroyed in reverse.
  std::vector<std::unique_ptr<codec::InStream>> streams_owned_;
  codec::InStream* output_ = nullptr;
};

}  // namespace cindral::format::sevenz
