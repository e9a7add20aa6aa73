// Shared by the ZIP reader's tests: an in-memory archive source, a sink that
// records everything, and a writer for hand-made (often hostile) archives.
#pragma once

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/format/archive.h"
#include "engine/format/zip/zip_reader.h"

namespace cindral::format::zip::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

inline std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

inline std::unique_ptr<ArchiveReader> Open(Bytes bytes, LocalTimeToFiletime local_time = {},
                                           OemTextDecoder oem_text = {}) {
  return OpenZip(std::make_shared<MemorySource>(std::move(bytes)), std::move(local_time),
                 std::move(oem_text));
}

class RecordingSink final : public ExtractSink {
 public:
  explicit RecordingSink(std::optional<std::u16string> password = std::nullopt)
      : password_(std::move(password)) {}

  codec::OutStream* BeginItem(uint32_t index) override {
    begun.push_back(index);
    stream_.target = &outputs[index];
    return &stream_;
  }
  void EndItem(uint32_t index, OperationResult result) override { results[index] = result; }
  void SetTotal(uint64_t value) override {
    total = value;
    ++total_calls;
  }
  void SetCompleted(uint64_t value) override { completed.push_back(value); }
  std::optional<std::u16string> Password() override {
    ++password_calls;
    return password_;
  }

  std::vector<uint32_t> begun;
  std::map<uint32_t, std::string> outputs;
  std::map<uint32_t, OperationResult> results;
  uint64_t total = 0;
  int total_calls = 0;
  std::vector<uint64_t> completed;
  int password_calls = 0;

 private:
  struct Collect final : codec::OutStream {
    void Write(const uint8_t* data, size_t size) override {
      target->append(reinterpret_cast<const char*>(data), size);
    }
    std::string* target = nullptr;
  };
  std::optional<std::u16string> password_;
  Collect stream_;
};

// Extracts every item and returns the sink.
inline RecordingSink ExtractAll(ArchiveReader& reader,
                                std::optional<std::u16string> password = std::nullopt) {
  RecordingSink sink(std::move(password));
  reader.Extract({}, false, sink);
  return sink;
}

inline std::u16string U16(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

inline uint32_t Crc32(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

inline std::string RawDeflate(const std::string& data, int level = 9) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline void Put16(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value));
  out.push_back(static_cast<char>(value >> 8));
}
inline void Put32(std::string& out, uint32_t value) {
  Put16(out, value);
  Put16(out, value >> 16);
}
inline void Put64(std::string& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out, static_cast<uint32_t>(value >> 32));
}

inline std::string ExtraField(uint16_t id, const std::string& data) {
  std::string out;
  Put16(out, id);
  Put16(out, static_cast<uint32_t>(data.size()));
  return out + data;
}

// 2021-06-15 12:34:56 as DOS date << 16 | time.
constexpr uint32_t kDosTime = (41u << 9 | 6u << 5 | 15u) << 16 | (12u << 11 | 34u << 5 | 28u);
// The same moment in UTC as a FILETIME.
constexpr uint64_t kFixedFiletime = (1623760496ull + 11644473600ull) * 10000000ull;

struct TestEntry {
  std::string name;
  std::string data;
  uint16_t method = 0;  // 0 and 8 are encoded; others store data as given
  uint16_t flags = 0;
  uint32_t dos_time = kDosTime;
  uint16_t version_made_by = 20;  // host DOS
  uint32_t external_attributes = 0;
  std::string central_extra;
  std::string local_extra;
  std::string comment;
  std::optional<uint32_t> crc;
  std::optional<uint64_t> declared_size;
  std::optional<std::string> packed;  // the bytes after the local header
  bool zip64 = false;                 // sizes and offset only in a Zip64 field
  std::optional<uint64_t> offset;     // point the central header elsewhere
};

struct ArchiveOptions {
  std::string prefix;  // bytes before the archive, offsets not corrected
  bool zip64_end = false;
  std::optional<uint64_t> entry_count;
  uint16_t disk = 0;
  std::string comment;
};

inline Bytes BuildZip(const std::vector<TestEntry>& entries, const ArchiveOptions& options = {}) {
  std::string body;
  std::string directory;
  for (const TestEntry& e : entries) {
    const std::string packed = e.packed ? *e.packed : e.method == 8 ? RawDeflate(e.data) : e.data;
    const uint32_t crc = e.crc.value_or(Crc32(e.data));
    const uint64_t size = e.declared_size.value_or(e.data.size());
    const uint64_t offset = e.offset.value_or(body.size());
    std::string zip64;
    if (e.zip64) {
      Put64(zip64, size);
      Put64(zip64, packed.size());
      Put64(zip64, offset);
    }
    const std::string& local_extra = e.local_extra;
    std::string local;
    Put32(local, 0x04034b50);
    Put16(local, e.zip64 ? 45 : 20);
    Put16(local, e.flags);
    Put16(local, e.method);
    Put16(local, e.dos_time & 0xFFFF);
    Put16(local, e.dos_time >> 16);
    Put32(local, crc);
    Put32(local, static_cast<uint32_t>(packed.size()));
    Put32(local, static_cast<uint32_t>(size));
    Put16(local, static_cast<uint32_t>(e.name.size()));
    Put16(local, static_cast<uint32_t>(local_extra.size()));
    body += local + e.name + local_extra + packed;

    const std::string central_extra = (e.zip64 ? ExtraField(1, zip64) : "") + e.central_extra;
    std::string central;
    Put32(central, 0x02014b50);
    Put16(central, e.version_made_by);
    Put16(central, e.zip64 ? 45 : 20);
    Put16(central, e.flags);
    Put16(central, e.method);
    Put16(central, e.dos_time & 0xFFFF);
    Put16(central, e.dos_time >> 16);
    Put32(central, crc);
    Put32(central, e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(packed.size()));
    Put32(central, e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(size));
    Put16(central, static_cast<uint32_t>(e.name.size()));
    Put16(central, static_cast<uint32_t>(central_extra.size()));
    Put16(central, static_cast<uint32_t>(e.comment.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, e.external_attributes);
    Put32(central, e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(offset));
    directory += central + e.name + central_extra + e.comment;
  }
  const uint64_t count = options.entry_count.value_or(entries.size());
  std::string end;
  if (options.zip64_end) {
    const uint64_t record_offset = body.size() + directory.size();
    Put32(end, 0x06064b50);
    Put64(end, 44);
    Put16(end, 45);
    Put16(end, 45);
    Put32(end, options.disk);
    Put32(end, options.disk);
    Put64(end, count);
    Put64(end, count);
    Put64(end, directory.size());
    Put64(end, body.size());
    Put32(end, 0x07064b50);
    Put32(end, 0);
    Put64(end, record_offset);
    Put32(end, 1);
  }
  Put32(end, 0x06054b50);
  Put16(end, options.disk);
  Put16(end, options.disk);
  Put16(end, options.zip64_end ? 0xFFFF : static_cast<uint32_t>(count));
  Put16(end, options.zip64_end ? 0xFFFF : static_cast<uint32_t>(count));
  Put32(end, options.zip64_end ? 0xFFFFFFFF : static_cast<uint32_t>(directory.size()));
  Put32(end, options.zip64_end ? 0xFFFFFFFF : static_cast<uint32_t>(body.size()));
  Put16(end, static_cast<uint32_t>(options.comment.size()));
  const std::string all = options.prefix + body + directory + end + options.comment;
  return Bytes(all.begin(), all.end());
}

}  // namespace cindral::format::zip::testing
