#include "engine/format/zip/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "engine/codec/deflate.h"
#include "engine/codec/worker_threads.h"
#include "engine/format/archive.h"
#include "engine/format/zip/zip_format.h"

namespace cindral::format::zip {
namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFF;
constexpr uint64_t kMax16 = 0xFFFF;
// 1980-01-01 00:00, the earliest time a DOS field can hold.
constexpr uint32_t kEarliestDosTime = (1 << 5 | 1) << 16;
// Below this a whole entry is encoded in place: handing it to the pool and
// waiting for it costs more than encoding it, above all under Wine, where
// every wake of a waiting thread is a round trip to the server.
constexpr size_t kPooledEntryMin = 16 * 1024;

// Archive levels follow the archiver convention where 5 is "normal": a ratio
// within a few percent of the best Deflate can give. The encoder's level 5
// falls short of that and its level 8 costs three times the time for one
// percent more, so "normal" is its level 6.
int DeflateLevel(int archive_level) {
  static constexpr int kLevels[10] = {0, 1, 2, 4, 5, 6, 7, 8, 9, 9};
  return kLevels[archive_level];
}

class Bytes {
 public:
  void U16(uint64_t value) {
    data_.push_back(static_cast<uint8_t>(value));
    data_.push_back(static_cast<uint8_t>(value >> 8));
  }
  void U32(uint64_t value) {
    U16(value & 0xFFFF);
    U16(value >> 16 & 0xFFFF);
  }
  void U64(uint64_t value) {
    U32(value & kMax32);
    U32(value >> 32);
  }
  void Append(std::span<const uint8_t> bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
  }
  std::vector<uint8_t>& Data() { return data_; }

 private:
  std::vector<uint8_t> data_;
};

std::string EncodeUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | code >> 6));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | code >> 12));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | code >> 18));
      out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

bool IsAscii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// What the central directory needs to know of one written entry.
struct Entry {
  std::string name;  // UTF-8, folders with their trailing '/'
  uint16_t flags = 0;
  uint16_t method = kMethodStore;
  uint32_t dos_time = kEarliestDosTime;
  uint64_t modification_time = 0;
  uint32_t attributes = 0;
  uint32_t crc = 0;
  uint64_t packed_size = 0;
  uint64_t size = 0;
  uint64_t header_offset = 0;
  bool local_zip64 = false;  // the local header carries a Zip64 field
};

void AppendNtfsTimes(Bytes& out, uint64_t time) {
  out.U16(kExtraNtfs);
  out.U16(32);
  out.U32(0);
  out.U16(1);
  out.U16(24);
  // Only the modification time is known; the other two repeat it rather than
  // claim a date in 1601.
  out.U64(time);
  out.U64(time);
  out.U64(time);
}

uint16_t VersionNeeded(const Entry& entry, bool zip64) {
  if (zip64) return 45;
  return entry.method == kMethodDeflate || entry.name.ends_with('/') ? 20 : 10;
}

// The fields both headers have, from the flags to the sizes.
void AppendCommonFields(Bytes& out, const Entry& entry, bool packed_in_zip64, bool size_in_zip64) {
  out.U16(entry.flags);
  out.U16(entry.method);
  out.U32(entry.dos_time);
  out.U32(entry.crc);
  out.U32(packed_in_zip64 ? kMax32 : entry.packed_size);
  out.U32(size_in_zip64 ? kMax32 : entry.size);
}

void AppendLocalHeader(Bytes& out, const Entry& entry) {
  out.U32(kLocalHeaderSignature);
  out.U16(VersionNeeded(entry, entry.local_zip64));
  AppendCommonFields(out, entry, entry.local_zip64, entry.local_zip64);
  out.U16(entry.name.size());
  const uint16_t extra = (entry.local_zip64 ? 20 : 0) + (entry.modification_time ? 36 : 0);
  out.U16(extra);
  out.Append(std::span(reinterpret_cast<const uint8_t*>(entry.name.data()), entry.name.size()));
  if (entry.local_zip64) {
    out.U16(kExtraZip64);
    out.U16(16);
    out.U64(entry.size);
    out.U64(entry.packed_size);
  }
  if (entry.modification_time) AppendNtfsTimes(out, entry.modification_time);
}

void AppendCentralHeader(Bytes& out, const Entry& entry) {
  const bool big_size = entry.size >= kMax32;
  const bool big_packed = entry.packed_size >= kMax32;
  const bool big_offset = entry.header_offset >= kMax32;
  const uint16_t zip64_size = 8 * (big_size + big_packed + big_offset);
  const bool zip64 = zip64_size != 0;
  out.U32(kCentralHeaderSignature);
  out.U16(VersionNeeded(entry, zip64 || entry.local_zip64));  // made by MS-DOS/Windows
  out.U16(VersionNeeded(entry, zip64 || entry.local_zip64));
  AppendCommonFields(out, entry, big_packed, big_size);
  out.U16(entry.name.size());
  out.U16((zip64 ? 4 + zip64_size : 0) + (entry.modification_time ? 36 : 0));
  out.U16(0);  // comment
  out.U16(0);  // disk
  out.U16(0);  // internal attributes
  out.U32(entry.attributes);
  out.U32(big_offset ? kMax32 : entry.header_offset);
  out.Append(std::span(reinterpret_cast<const uint8_t*>(entry.name.data()), entry.name.size()));
  if (zip64) {
    out.U16(kExtraZip64);
    out.U16(zip64_size);
    if (big_size) out.U64(entry.size);
    if (big_packed) out.U64(entry.packed_size);
    if (big_offset) out.U64(entry.header_offset);
  }
  if (entry.modification_time) AppendNtfsTimes(out, entry.modification_time);
}

// One piece of one entry's data on its way to the archive.
struct Piece {
  size_t entry = 0;
  bool first = false;
  bool last = false;
  std::vector<uint8_t> dictionary;
  std::vector<uint8_t> raw;
  std::vector<uint8_t> encoded;
  uint32_t crc = 0;
  std::future<void> done;
};

Piece MakePiece(size_t entry, bool first, bool last) {
  Piece piece;
  piece.entry = entry;
  piece.first = first;
  piece.last = last;
  return piece;
}

class ZipWriter {
 public:
  ZipWriter(WriteSource& source, WriteTarget& target, const WriteOptions& options)
      : source_(source),
        target_(target),
        options_(options),
        deflate_level_(DeflateLevel(options.level)),
        seekable_(target.CanSeek()) {
    if (options_.threads > 1) pool_.emplace(options_.threads);
  }

  void Write() {
    const uint32_t count = source_.ItemCount();
    std::vector<WriteItem> items;
    items.reserve(count);
    uint64_t total = 0;
    for (uint32_t index = 0; index < count; ++index) {
      items.push_back(source_.Item(index));
      total += items.back().size;
    }
    source_.SetTotal(total);
    for (uint32_t index = 0; index < count; ++index) WriteItemData(index, items[index]);
    while (!pieces_.empty()) DrainFront();
    WriteCentralDirectory();
  }

 private:
  Entry MakeEntry(const WriteItem& item) {
    Entry entry;
    entry.name = EncodeUtf8(item.name);
    std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
    if (item.is_directory) entry.name.push_back('/');
    if (entry.name.size() > kMax16) throw std::runtime_error("name too long for ZIP");
    if (!IsAscii(entry.name)) entry.flags |= kFlagUtf8;
    entry.dos_time = item.dos_time ? item.dos_time : kEarliestDosTime;
    entry.modification_time = item.modification_time;
    entry.attributes = item.attributes;
    return entry;
  }

  void WriteItemData(uint32_t index, const WriteItem& item) {
    const std::optional<codec::InStream*> stream = source_.Open(index);
    if (!stream) return;  // the host leaves this item out
    entries_.push_back(MakeEntry(item));
    const size_t entry = entries_.size() - 1;
    if (item.is_directory || *stream == nullptr) {
      Queue(MakePiece(entry, true, true));
      source_.ItemWritten(index);
      return;
    }
    // Declared sizes decide whether a streamed local header has room for
    // 64-bit sizes; the central directory always tells the truth.
    entries_[entry].local_zip64 = item.size >= kMax32;

    uint64_t unread = item.size;
    std::vector<uint8_t> current = ReadPiece(**stream, unread);
    std::vector<uint8_t> previous_tail;
    bool first = true;
    for (;;) {
      std::vector<uint8_t> next;
      if (current.size() == kPieceSize) next = ReadPiece(**stream, unread);
      const bool last = next.empty();
      Piece piece = MakePiece(entry, first, last);
      piece.dictionary = std::move(previous_tail);
      const size_t tail = std::min(current.size(), codec::kDeflateWindow);
      previous_tail.assign(current.end() - static_cast<ptrdiff_t>(tail), current.end());
      piece.raw = std::move(current);
      Queue(std::move(piece));
      if (last) break;
      current = std::move(next);
      first = false;
    }
    source_.ItemWritten(index);
  }

  // Reads up to one piece. A buffer of a whole piece for every small file
  // would cost its allocation and page faults many times over the file's
  // own work, so the first read asks for one byte more than the declared
  // size: a file that kept its size is read, end included, in one call into
  // a buffer of its size. One that grew is read on in whole pieces.
  std::vector<uint8_t> ReadPiece(codec::InStream& stream, uint64_t& unread) {
    std::vector<uint8_t> data(static_cast<size_t>(std::min<uint64_t>(kPieceSize, unread + 1)));
    size_t got = stream.Read(data.data(), data.size());
    if (got == data.size() && got < kPieceSize) {
      data.resize(kPieceSize);
      got += stream.Read(data.data() + got, kPieceSize - got);
    }
    data.resize(got);
    unread -= std::min<uint64_t>(unread, got);
    completed_ += got;
    source_.SetCompleted(completed_);
    return data;
  }

  // Whole entries in one piece are compressed as one stream so that the
  // stored-or-deflated choice is made on the whole; longer entries are split.
  void Encode(Piece& piece) const {
    piece.crc =
        static_cast<uint32_t>(crc32(0, piece.raw.data(), static_cast<uInt>(piece.raw.size())));
    if (options_.level == 0 || piece.raw.empty()) return;
    if (piece.first && piece.last) {
      piece.encoded = codec::DeflateWhole(piece.raw, deflate_level_);
    } else {
      codec::DeflatePiece(piece.dictionary, piece.raw, deflate_level_, piece.last, piece.encoded);
    }
  }

  void Queue(Piece piece) {
    const size_t limit = pool_ ? 2 * size_t{options_.threads} : 0;
    while (!pieces_.empty() && pieces_.size() >= limit) DrainFront();
    pieces_.push_back(std::move(piece));
    Piece& queued = pieces_.back();
    const bool small = queued.first && queued.last && queued.raw.size() < kPooledEntryMin;
    if (pool_ && !small) {
      // The task shares its packaged state, so the result (or failure) is
      // kept even when the pool drops the task unrun.
      auto task = std::make_shared<std::packaged_task<void()>>([this, &queued] { Encode(queued); });
      queued.done = task->get_future();
      pool_->Submit([task] { (*task)(); });
    } else {
      Encode(queued);
    }
    if (!pool_) DrainFront();
  }

  void DrainFront() {
    Piece& piece = pieces_.front();
    if (piece.done.valid()) piece.done.get();
    Entry& entry = entries_[piece.entry];
    if (piece.first && piece.last) {
      WriteWholeEntry(entry, piece);
    } else {
      WriteEntryPiece(entry, piece);
    }
    pieces_.pop_front();
  }

  void WriteWholeEntry(Entry& entry, const Piece& piece) {
    const bool deflated = !piece.encoded.empty() && piece.encoded.size() < piece.raw.size();
    const std::vector<uint8_t>& data = deflated ? piece.encoded : piece.raw;
    entry.method = deflated ? kMethodDeflate : kMethodStore;
    entry.crc = piece.crc;
    entry.size = piece.raw.size();
    entry.packed_size = data.size();
    entry.header_offset = position_;
    Bytes header;
    AppendLocalHeader(header, entry);
    Emit(header.Data());
    Emit(data);
  }

  void WriteEntryPiece(Entry& entry, const Piece& piece) {
    if (piece.first) {
      entry.method = options_.level == 0 ? kMethodStore : kMethodDeflate;
      if (!seekable_) entry.flags |= kFlagDataDescriptor;
      entry.header_offset = position_;
      Bytes header;
      AppendLocalHeader(header, entry);
      Emit(header.Data());
    }
    const std::vector<uint8_t>& data = options_.level == 0 ? piece.raw : piece.encoded;
    entry.crc = static_cast<uint32_t>(
        crc32_combine(entry.crc, piece.crc, static_cast<z_off_t>(piece.raw.size())));
    entry.size += piece.raw.size();
    entry.packed_size += data.size();
    Emit(data);
    if (piece.last) FinishStreamedEntry(entry);
  }

  void FinishStreamedEntry(Entry& entry) {
    const bool needs_zip64 = entry.size >= kMax32 || entry.packed_size >= kMax32;
    if (needs_zip64 && !entry.local_zip64)
      throw std::runtime_error("file grew past 4 GiB while packed");
    if (!seekable_) {
      Bytes descriptor;
      descriptor.U32(kDataDescriptorSignature);
      descriptor.U32(entry.crc);
      if (entry.local_zip64) {
        descriptor.U64(entry.packed_size);
        descriptor.U64(entry.size);
      } else {
        descriptor.U32(entry.packed_size);
        descriptor.U32(entry.size);
      }
      Emit(descriptor.Data());
      return;
    }
    Bytes header;
    AppendLocalHeader(header, entry);
    target_.Seek(entry.header_offset);
    target_.Write(header.Data().data(), header.Data().size());
    target_.Seek(position_);
  }

  void WriteCentralDirectory() {
    const uint64_t directory_offset = position_;
    Bytes directory;
    for (const Entry& entry : entries_) {
      AppendCentralHeader(directory, entry);
      if (directory.Data().size() >= (1 << 20)) {
        Emit(directory.Data());
        directory.Data().clear();
      }
    }
    Emit(directory.Data());
    const uint64_t directory_size = position_ - directory_offset;
    const uint64_t count = entries_.size();

    Bytes end;
    const bool zip64 = count >= kMax16 || directory_size >= kMax32 || directory_offset >= kMax32;
    if (zip64) {
      const uint64_t zip64_end_offset = position_;
      end.U32(kZip64EndSignature);
      end.U64(44);
      end.U16(45);
      end.U16(45);
      end.U32(0);
      end.U32(0);
      end.U64(count);
      end.U64(count);
      end.U64(directory_size);
      end.U64(directory_offset);
      end.U32(kZip64LocatorSignature);
      end.U32(0);
      end.U64(zip64_end_offset);
      end.U32(1);
    }
    end.U32(kEndSignature);
    end.U16(0);
    end.U16(0);
    end.U16(std::min(count, kMax16));
    end.U16(std::min(count, kMax16));
    end.U32(std::min(directory_size, kMax32));
    end.U32(std::min(directory_offset, kMax32));
    end.U16(0);
    Emit(end.Data());
  }

  void Emit(const std::vector<uint8_t>& data) {
    if (data.empty()) return;
    target_.Write(data.data(), data.size());
    position_ += data.size();
  }

  WriteSource& source_;
  WriteTarget& target_;
  const WriteOptions options_;
  const int deflate_level_;
  const bool seekable_;
  std::vector<Entry> entries_;
  std::deque<Piece> pieces_;
  uint64_t position_ = 0;
  uint64_t completed_ = 0;
  // Declared last: destroyed first, so no job outlives the pieces it uses.
  std::optional<codec::ThreadPool> pool_;
};

}  // namespace

void WriteZip(WriteSource& source, WriteTarget& target, const WriteOptions& options) {
  if (options.level < 0 || options.level > 9) throw std::invalid_argument("bad level");
  ZipWriter(source, target, options).Write();
}

}  // namespace cindral::format::zip
