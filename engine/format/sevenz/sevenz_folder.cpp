#include "engine/format/sevenz/sevenz_folder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/codec/bcj2.h"
#include "engine/codec/branch_filters.h"
#include "engine/codec/bzip2.h"
#include "engine/codec/delta.h"
#include "engine/codec/inflate.h"
#include "engine/codec/lzma.h"
#include "engine/codec/lzma2.h"
#include "engine/codec/ppmd7.h"
#include "engine/format/sevenz/sevenz_aes.h"

namespace cindral::format::sevenz {
namespace {

struct CoderArgs {
  std::span<codec::InStream* const> inputs;
  std::span<const uint8_t> properties;
  uint64_t unpack_size;
  const DecodeContext& context;
};

using CoderFactory = std::unique_ptr<codec::InStream> (*)(const CoderArgs&);

struct Method {
  uint64_t id;
  std::string_view name;
  uint32_t num_in;
  CoderFactory factory;  // null while the decoder is not built in
};

// Copy needs no coder: its input already is a bounded byte range.
class CopyCoder final : public codec::InStream {
 public:
  explicit CopyCoder(codec::InStream& input) : input_(input) {}
  size_t Read(uint8_t* data, size_t size) override { return input_.Read(data, size); }

 private:
  codec::InStream& input_;
};

std::unique_ptr<codec::InStream> MakeCopy(const CoderArgs& args) {
  return std::make_unique<CopyCoder>(*args.inputs[0]);
}

std::unique_ptr<codec::InStream> MakeAes(const CoderArgs& args) {
  if (!args.context.keys) throw MissingPassword("no password for encrypted 7z data");
  return MakeAesDecoder(*args.inputs[0], args.properties, *args.context.keys);
}

template <codec::DeflateVariant variant>
std::unique_ptr<codec::InStream> MakeInflate(const CoderArgs& args) {
  return std::make_unique<codec::InflateDecoder>(*args.inputs[0], variant);
}

std::unique_ptr<codec::InStream> MakeLzma(const CoderArgs& args) {
  return std::make_unique<codec::LzmaDecoder>(*args.inputs[0], args.properties, args.unpack_size);
}

std::unique_ptr<codec::InStream> MakeLzma2(const CoderArgs& args) {
  if (args.properties.size() != 1) throw codec::Unsupported("bad LZMA2 properties");
  return std::make_unique<codec::Lzma2Decoder>(*args.inputs[0], args.properties[0],
                                               args.context.threads);
}

template <codec::BranchFilter filter>
std::unique_ptr<codec::InStream> MakeBranch(const CoderArgs& args) {
  return std::make_unique<codec::BranchDecoder>(*args.inputs[0], filter, args.properties);
}

std::unique_ptr<codec::InStream> MakeBcj2(const CoderArgs& args) {
  return std::make_unique<codec::Bcj2Decoder>(*args.inputs[0], *args.inputs[1], *args.inputs[2],
                                              *args.inputs[3]);
}

std::unique_ptr<codec::InStream> MakeDelta(const CoderArgs& args) {
  return std::make_unique<codec::DeltaDecoder>(*args.inputs[0], args.properties);
}

std::unique_ptr<codec::InStream> MakePpmd(const CoderArgs& args) {
  return std::make_unique<codec::Ppmd7Decoder>(*args.inputs[0], args.properties, args.unpack_size);
}

std::unique_ptr<codec::InStream> MakeBzip2(const CoderArgs& args) {
  return std::make_unique<codec::Bzip2Decoder>(*args.inputs[0], args.context.threads);
}

constexpr Method kMethods[] = {
    {0x00, "Copy", 1, MakeCopy},
    {0x03, "Delta", 1, MakeDelta},
    {0x21, "LZMA2", 1, MakeLzma2},
    {0x0A, "ARM64", 1, MakeBranch<codec::BranchFilter::kArm64>},
    {0x0B, "RISCV", 1, MakeBranch<codec::BranchFilter::kRiscV>},
    {0x030101, "LZMA", 1, MakeLzma},
    {0x03030103, "BCJ", 1, MakeBranch<codec::BranchFilter::kX86>},
    {0x0303011B, "BCJ2", 4, MakeBcj2},
    {0x03030205, "PPC", 1, MakeBranch<codec::BranchFilter::kPpc>},
    {0x03030401, "IA64", 1, MakeBranch<codec::BranchFilter::kIa64>},
    {0x03030501, "ARM", 1, MakeBranch<codec::BranchFilter::kArm>},
    {0x03030701, "ARMT", 1, MakeBranch<codec::BranchFilter::kArmThumb>},
    {0x03030805, "SPARC", 1, MakeBranch<codec::BranchFilter::kSparc>},
    {0x030401, "PPMD", 1, MakePpmd},
    {0x040108, "Deflate", 1, MakeInflate<codec::DeflateVariant::kDeflate>},
    {0x040109, "Deflate64", 1, MakeInflate<codec::DeflateVariant::kDeflate64>},
    {0x040202, "BZip2", 1, MakeBzip2},
    {kAesMethodId, "7zAES", 1, MakeAes},
};

const Method* FindMethod(uint64_t id) {
  for (const Method& method : kMethods)
    if (method.id == id) return &method;
  return nullptr;
}

bool IsUsable(const Coder& coder) {
  const Method* method = FindMethod(coder.id);
  return method && method->factory && coder.num_out == 1 && coder.num_in == method->num_in;
}

uint32_t LoadLe32(std::span<const uint8_t> bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

std::string DescribeDictionary(uint64_t size) {
  for (int bits = 0; bits < 64; ++bits)
    if (size == uint64_t{1} << bits) return std::to_string(bits);
  if (size % (1 << 20) == 0) return std::to_string(size >> 20) + "m";
  if (size % (1 << 10) == 0) return std::to_string(size >> 10) + "k";
  return std::to_string(size) + "b";
}

std::string DescribeCoder(const Coder& coder) {
  const Method* method = FindMethod(coder.id);
  const std::span<const uint8_t> p = coder.properties;
  if (!method) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "%llX", static_cast<unsigned long long>(coder.id));
    return hex;
  }
  std::string text(method->name);
  switch (coder.id) {
    case 0x030101:
      if (p.size() >= 5) text += ":" + DescribeDictionary(LoadLe32(p.subspan(1)));
      break;
    case 0x21:
      if (p.size() == 1 && p[0] <= 40) {
        const uint64_t dictionary =
            p[0] == 40 ? 0xFFFFFFFFu : uint64_t{2u | (p[0] & 1u)} << (p[0] / 2 + 11);
        text += ":" + DescribeDictionary(dictionary);
      }
      break;
    case 0x030401:
      if (p.size() >= 5)
        text += ":o" + std::to_string(p[0]) + ":mem" + DescribeDictionary(LoadLe32(p.subspan(1)));
      break;
    case 0x03:
      if (p.size() == 1) text += ":" + std::to_string(p[0] + 1);
      break;
    case kAesMethodId:
      if (!p.empty()) text += ":" + std::to_string(p[0] & 0x3F);
      break;
  }
  return text;
}

// Limits a coder's output to the size the folder declares for it: bytes past
// it are never asked for, and an output that stops short is an error.
class SizedStream final : public codec::InStream {
 public:
  SizedStream(std::unique_ptr<codec::InStream> inner, uint64_t size)
      : inner_(std::move(inner)), remaining_(size) {}

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
    while (done < want) {
      const size_t got = inner_->Read(data + done, want - done);
      if (got == 0) throw codec::UnexpectedEnd("7z coder output ended early");
      done += got;
    }
    remaining_ -= done;
    return done;
  }

 private:
  std::unique_ptr<codec::InStream> inner_;
  uint64_t remaining_;
};

}  // namespace

bool IsEncrypted(const Folder& folder) {
  return std::any_of(folder.coders.begin(), folder.coders.end(),
                     [](const Coder& coder) { return coder.id == kAesMethodId; });
}

bool IsSupported(const Folder& folder) {
  return std::all_of(folder.coders.begin(), folder.coders.end(), IsUsable);
}

std::u16string DescribeMethods(const Folder& folder) {
  std::string text;
  for (const Coder& coder : folder.coders) {
    if (!text.empty()) text += ' ';
    text += DescribeCoder(coder);
  }
  return std::u16string(text.begin(), text.end());
}

PackStream::PackStream(ArchiveSource& source, uint64_t offset, uint64_t size)
    : source_(source), offset_(offset), remaining_(size) {}

size_t PackStream::Read(uint8_t* data, size_t size) {
  constexpr size_t kBufferSize = 1 << 18;
  size_t done = 0;
  while (done < size) {
    if (buffer_position_ == buffer_size_) {
      if (remaining_ == 0) break;
      // Large reads go straight to the caller; small ones are gathered.
      const size_t want = size - done;
      if (want >= kBufferSize) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(want, remaining_));
        source_.ReadAt(offset_, data + done, count);
        offset_ += count;
        remaining_ -= count;
        done += count;
        continue;
      }
      // Sized to what is left: a folder of one small file needs no more.
      if (buffer_.empty())
        buffer_.resize(static_cast<size_t>(std::min<uint64_t>(kBufferSize, remaining_)));
      buffer_size_ = static_cast<size_t>(std::min<uint64_t>(kBufferSize, remaining_));
      source_.ReadAt(offset_, buffer_.data(), buffer_size_);
      offset_ += buffer_size_;
      remaining_ -= buffer_size_;
      buffer_position_ = 0;
    }
    const size_t count = std::min(size - done, buffer_size_ - buffer_position_);
    std::memcpy(data + done, buffer_.data() + buffer_position_, count);
    buffer_position_ += count;
    done += count;
  }
  return done;
}

FolderDecoder::FolderDecoder(ArchiveSource& source, const StreamsInfo& streams,
                             const Folder& folder, const DecodeContext& context)
    : source_(source), streams_(streams), folder_(folder), context_(context) {
  if (!IsSupported(folder)) throw codec::Unsupported("unsupported 7z method");
  uint32_t in = 0;
  uint32_t out = 0;
  for (const Coder& coder : folder.coders) {
    first_in_.push_back(in);
    first_out_.push_back(out);
    in += coder.num_in;
    out += coder.num_out;
  }
  output_ = &BuildOutput(folder.main_out);
}

FolderDecoder::~FolderDecoder() {
  while (!streams_owned_.empty()) streams_owned_.pop_back();
}

// Every coder has one output (checked by IsSupported), so out_index names the coder.
codec::InStream& FolderDecoder::BuildOutput(uint32_t out_index) {
  const uint32_t coder_index = static_cast<uint32_t>(
      std::find(first_out_.begin(), first_out_.end(), out_index) - first_out_.begin());
  const Coder& coder = folder_.coders[coder_index];
  std::vector<codec::InStream*> inputs;
  for (uint32_t i = 0; i < coder.num_in; ++i) {
    const uint32_t in_index = first_in_[coder_index] + i;
    const auto pair = std::find_if(folder_.bind_pairs.begin(), folder_.bind_pairs.end(),
                                   [&](const BindPair& bind) { return bind.in_index == in_index; });
    if (pair != folder_.bind_pairs.end()) {
      inputs.push_back(&BuildOutput(pair->out_index));
      continue;
    }
    const auto packed =
        std::find(folder_.packed_streams.begin(), folder_.packed_streams.end(), in_index) -
        folder_.packed_streams.begin();
    const size_t pack_index = folder_.first_pack_stream + packed;
    streams_owned_.push_back(std::make_unique<PackStream>(
        source_, streams_.pack_offsets[pack_index], streams_.pack_sizes[pack_index]));
    inputs.push_back(streams_owned_.back().get());
  }
  const uint64_t unpack_size = folder_.unpack_sizes[out_index];
  const CoderArgs args{inputs, coder.properties, unpack_size, context_};
  auto decoder = FindMethod(coder.id)->factory(args);
  streams_owned_.push_back(std::make_unique<SizedStream>(std::move(decoder), unpack_size));
  return *streams_owned_.back();
}

}  // namespace cindral::format::sevenz
