#include "engine/format/sevenz/sevenz_reader.h"

#include <zlib.h>

#include <algorithm>

#include "engine/format/sevenz/sevenz_aes.h"
#include "engine/format/sevenz/sevenz_folder.h"
#include "engine/format/sevenz/sevenz_header.h"
#include "engine/format/sevenz/sevenz_prefetch.h"

namespace cindral::format::sevenz {
namespace {

// Headers are held in memory whole. This is the smallest worker's memory
// limit: a header larger than that could not be listed there anyway, and a
// few kilobytes of packed header must not cost a gigabyte before that shows.
constexpr uint64_t kMaxHeaderSize = uint64_t{256} << 20;
// An encoded header may describe another encoded header; real archives nest once.
constexpr int kMaxHeaderNesting = 4;
constexpr size_t kChunkSize = 1 << 20;
constexpr uint64_t kProgressStep = 1 << 20;
constexpr uint32_t kNoFolder = UINT32_MAX;
constexpr uint32_t kUnixExtension = 0x8000;
constexpr uint32_t kDirectoryAttribute = 0x10;

std::vector<uint8_t> ReadBytes(ArchiveSource& source, uint64_t offset, uint64_t size) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  source.ReadAt(offset, bytes.data(), bytes.size());
  return bytes;
}

std::vector<uint8_t> DecodeHeaderFolders(ArchiveSource& source, const StreamsInfo& streams,
                                         KeyCache& keys) {
  const DecodeContext context{1, &keys};
  std::vector<uint8_t> header;
  for (const Folder& folder : streams.folders) {
    if (!IsSupported(folder)) throw OpenError("unsupported 7z header method");
    const uint64_t size = folder.UnpackSize();
    if (size > kMaxHeaderSize - header.size()) throw OpenError("7z header too large");
    const size_t start = header.size();
    try {
      FolderDecoder decoder(source, streams, folder, context);
      // Grow with the data rather than trusting the declared size up front.
      while (header.size() - start < size) {
        const size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(kChunkSize, size - (header.size() - start)));
        const size_t at = header.size();
        header.resize(at + chunk);
        if (decoder.Output().Read(header.data() + at, chunk) != chunk)
          throw codec::UnexpectedEnd("7z header ended early");
      }
      if (folder.crc && Crc32(std::span(header).subspan(start)) != *folder.crc)
        throw codec::DataError("7z header CRC mismatch");
    } catch (const MissingPassword&) {
      throw WrongPasswordError();
    } catch (const codec::DataError&) {
      if (IsEncrypted(folder)) throw WrongPasswordError();
      throw OpenError("damaged 7z header");
    } catch (const codec::Unsupported&) {
      throw OpenError("unsupported 7z header method");
    }
  }
  return header;
}

Database ReadDatabase(ArchiveSource& source, PasswordSource& passwords) {
  const uint64_t archive_size = source.Size();
  if (archive_size < kSignatureHeaderSize) throw OpenError("not a 7z archive");
  const SignatureHeader signature =
      ParseSignatureHeader(ReadBytes(source, 0, kSignatureHeaderSize));
  if (signature.next_header_size == 0) return {};
  const uint64_t space = archive_size - kSignatureHeaderSize;
  if (signature.next_header_offset > space ||
      signature.next_header_size > space - signature.next_header_offset)
    throw OpenError("7z header beyond the end of the archive");
  if (signature.next_header_size > kMaxHeaderSize) throw OpenError("7z header too large");
  std::vector<uint8_t> header = ReadBytes(
      source, kSignatureHeaderSize + signature.next_header_offset, signature.next_header_size);
  if (Crc32(header) != signature.next_header_crc) throw OpenError("7z header CRC mismatch");
  KeyCache keys([&passwords] { return passwords.Password(); });
  for (int depth = 0; PeekHeaderKind(header) == HeaderKind::kEncoded; ++depth) {
    if (depth == kMaxHeaderNesting) throw OpenError("7z headers nested too deeply");
    const StreamsInfo streams = ParseEncodedHeader(header, archive_size);
    header = DecodeHeaderFolders(source, streams, keys);
  }
  return ParseHeader(header, archive_size);
}

struct FileLocation {
  uint32_t folder = kNoFolder;
  uint64_t offset = 0;  // within the folder's unpacked bytes
  uint64_t size = 0;
  std::optional<uint32_t> crc;
};

class SevenZipReader final : public ArchiveReader {
 public:
  SevenZipReader(std::shared_ptr<ArchiveSource> source, Database database)
      : source_(std::move(source)), database_(std::move(database)) {
    LocateFiles();
    BuildItems();
    // The items hold all that is listed now; the file records would only
    // double the listing's cost per entry.
    database_.files = {};
  }

  const std::vector<Item>& Items() const override { return items_; }
  void SetThreadCount(unsigned threads) override { threads_ = std::max(1u, threads); }
  void Extract(std::span<const uint32_t> indices, bool test, ExtractSink& sink) override;

 private:
  void LocateFiles();
  void BuildItems();

  std::shared_ptr<ArchiveSource> source_;
  Database database_;
  std::vector<FileLocation> locations_;
  std::vector<Item> items_;
  unsigned threads_ = 1;
};

void SevenZipReader::LocateFiles() {
  const StreamsInfo& streams = database_.streams;
  locations_.resize(database_.files.size());
  size_t next_folder = 0;
  size_t folder = 0;
  uint64_t left_in_folder = 0;
  uint64_t offset = 0;
  size_t stream = 0;
  for (size_t i = 0; i < database_.files.size(); ++i) {
    if (!database_.files[i].has_stream) continue;
    while (left_in_folder == 0) {
      if (next_folder == streams.folders.size()) throw OpenError("7z files without streams");
      folder = next_folder++;
      left_in_folder = streams.num_substreams[folder];
      offset = 0;
    }
    locations_[i] = {static_cast<uint32_t>(folder), offset, streams.substream_sizes[stream],
                     streams.substream_crcs[stream]};
    offset += streams.substream_sizes[stream];
    ++stream;
    --left_in_folder;
  }
}

void SevenZipReader::BuildItems() {
  const StreamsInfo& streams = database_.streams;
  std::vector<std::u16string> methods;
  for (const Folder& folder : streams.folders) methods.push_back(DescribeMethods(folder));
  items_.resize(database_.files.size());
  uint32_t previous_folder = kNoFolder;
  for (size_t i = 0; i < items_.size(); ++i) {
    FileEntry& file = database_.files[i];
    const FileLocation& location = locations_[i];
    Item& item = items_[i];
    item.path = std::move(file.name);
    item.attributes = file.attributes;
    item.creation_time = file.creation_time;
    item.access_time = file.access_time;
    item.modification_time = file.modification_time;
    item.is_anti = file.is_anti;
    if (file.attributes && (*file.attributes & kUnixExtension))
      item.posix_mode = *file.attributes >> 16;
    item.is_directory = (file.attributes && (*file.attributes & kDirectoryAttribute)) ||
                        (!file.has_stream && file.is_empty_directory);
    item.packed_size = 0;
    if (location.folder == kNoFolder) continue;
    const Folder& folder = streams.folders[location.folder];
    item.size = location.size;
    item.crc = location.crc;
    item.encrypted = IsEncrypted(folder);
    item.method = methods[location.folder];
    if (location.folder != previous_folder) {
      uint64_t packed = 0;
      for (size_t p = 0; p < folder.packed_streams.size(); ++p)
        packed += streams.pack_sizes[folder.first_pack_stream + p];
      item.packed_size = packed;
      previous_folder = location.folder;
    }
  }
}

// The result for a decoding failure; anything else (HostStop, bad_alloc) is rethrown.
OperationResult ResultOf(const std::exception_ptr& error, bool encrypted) {
  try {
    std::rethrow_exception(error);
  } catch (const MissingPassword&) {
    return OperationResult::kWrongPassword;
  } catch (const codec::Unsupported&) {
    return OperationResult::kUnsupportedMethod;
  } catch (const codec::UnexpectedEnd&) {
    return encrypted ? OperationResult::kWrongPassword : OperationResult::kUnexpectedEnd;
  } catch (const codec::DataError&) {
    return encrypted ? OperationResult::kWrongPassword : OperationResult::kDataError;
  }
}

// Decodes one requested item after another, each folder front to back.
class Extraction {
 public:
  Extraction(const Database& database, const std::vector<FileLocation>& locations,
             FolderPrefetcher& folders, bool test, ExtractSink& sink)
      : database_(database), locations_(locations), folders_(folders), test_(test), sink_(sink) {}

  void Deliver(uint32_t index);
  void Finish() { sink_.SetCompleted(completed_); }

 private:
  bool Reach(uint32_t folder, uint64_t offset);
  void Copy(uint64_t size, codec::OutStream* out, uLong& crc);
  void Progress(uint64_t bytes);

  const Database& database_;
  const std::vector<FileLocation>& locations_;
  FolderPrefetcher& folders_;
  bool test_;
  ExtractSink& sink_;
  uint32_t folder_ = kNoFolder;
  codec::InStream* stream_ = nullptr;
  uint64_t position_ = 0;
  std::optional<OperationResult> folder_failure_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kChunkSize);
  uint64_t completed_ = 0;
  uint64_t reported_ = 0;
  uint64_t skipped_ = 0;
};

void Extraction::Progress(uint64_t bytes) {
  completed_ += bytes;
  if (completed_ - reported_ < kProgressStep) return;
  reported_ = completed_;
  sink_.SetCompleted(completed_);
}

// Moves to offset in folder, decoding and dropping what lies before it.
// Returns false (with folder_failure_ set) when the folder cannot get there.
bool Extraction::Reach(uint32_t folder, uint64_t offset) {
  if (folder != folder_) {
    folder_ = folder;
    position_ = 0;
    folder_failure_.reset();
    try {
      stream_ = &folders_.Open(folder);
    } catch (...) {
      folder_failure_ =
          ResultOf(std::current_exception(), IsEncrypted(database_.streams.folders[folder]));
    }
  }
  if (folder_failure_) return false;
  try {
    while (position_ < offset) {
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(buffer_.size(), offset - position_));
      if (stream_->Read(buffer_.data(), want) != want)
        throw codec::UnexpectedEnd("7z folder ended early");
      position_ += want;
      // Dropped bytes do not advance the progress, but the host may stop meanwhile.
      skipped_ += want;
      if (skipped_ >= kProgressStep) {
        skipped_ = 0;
        sink_.SetCompleted(completed_);
      }
    }
  } catch (...) {
    folder_failure_ =
        ResultOf(std::current_exception(), IsEncrypted(database_.streams.folders[folder]));
    return false;
  }
  return true;
}

void Extraction::Copy(uint64_t size, codec::OutStream* out, uLong& crc) {
  while (size != 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), size));
    if (stream_->Read(buffer_.data(), want) != want)
      throw codec::UnexpectedEnd("7z folder ended early");
    position_ += want;
    size -= want;
    crc = crc32(crc, buffer_.data(), static_cast<uInt>(want));
    if (out) out->Write(buffer_.data(), want);
    Progress(want);
  }
}

void Extraction::Deliver(uint32_t index) {
  const FileLocation& location = locations_[index];
  if (location.folder == kNoFolder) {
    sink_.BeginItem(index);
    sink_.EndItem(index, OperationResult::kOk);
    return;
  }
  const bool encrypted = IsEncrypted(database_.streams.folders[location.folder]);
  if (!Reach(location.folder, location.offset)) {
    sink_.BeginItem(index);
    sink_.EndItem(index, *folder_failure_);
    return;
  }
  codec::OutStream* out = sink_.BeginItem(index);
  if (test_) out = nullptr;
  uLong crc = crc32(0, nullptr, 0);
  try {
    Copy(location.size, out, crc);
  } catch (const codec::DataError&) {
    folder_failure_ = ResultOf(std::current_exception(), encrypted);
  } catch (const codec::Unsupported&) {
    folder_failure_ = ResultOf(std::current_exception(), encrypted);
  } catch (const MissingPassword&) {
    folder_failure_ = OperationResult::kWrongPassword;
  }
  if (folder_failure_) {
    sink_.EndItem(index, *folder_failure_);
    return;
  }
  if (location.crc && static_cast<uint32_t>(crc) != *location.crc) {
    sink_.EndItem(index, encrypted ? OperationResult::kWrongPassword : OperationResult::kCrcError);
    return;
  }
  sink_.EndItem(index, OperationResult::kOk);
}

void SevenZipReader::Extract(std::span<const uint32_t> indices, bool test, ExtractSink& sink) {
  std::vector<uint32_t> all;
  if (indices.empty()) {
    all.resize(items_.size());
    for (uint32_t i = 0; i < all.size(); ++i) all[i] = i;
    indices = all;
  }
  uint64_t total = 0;
  for (uint32_t index : indices) {
    if (index >= items_.size()) throw std::out_of_range("7z item index out of range");
    total += items_[index].size;
  }
  sink.SetTotal(total);

  // Each needed folder is decoded up to the end of its last requested item.
  std::vector<FolderRequest> requests;
  for (uint32_t index : indices) {
    const FileLocation& location = locations_[index];
    if (location.folder == kNoFolder) continue;
    if (requests.empty() || requests.back().folder != location.folder)
      requests.push_back({location.folder, 0});
    requests.back().length = location.offset + location.size;
  }
  KeyCache keys([&sink] { return sink.Password(); });
  FolderPrefetcher folders(*source_, database_.streams, requests, keys, threads_);
  Extraction extraction(database_, locations_, folders, test, sink);
  for (uint32_t index : indices) extraction.Deliver(index);
  extraction.Finish();
}

}  // namespace

std::unique_ptr<ArchiveReader> OpenSevenZip(std::shared_ptr<ArchiveSource> source,
                                            PasswordSource& passwords) {
  try {
    Database database = ReadDatabase(*source, passwords);
    return std::make_unique<SevenZipReader>(std::move(source), std::move(database));
  } catch (const TooManyItems& too_many) {
    return std::make_unique<UnlistedArchive>(too_many.count);
  } catch (const codec::DataError&) {
    throw OpenError("truncated 7z archive");
  } catch (const std::length_error&) {
    throw OpenError("7z header too large");
  } catch (const std::bad_alloc&) {
    throw OpenError("7z header too large");
  }
}

}  // namespace cindral::format::sevenz
