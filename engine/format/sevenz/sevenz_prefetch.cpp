#include "engine/format/sevenz/sevenz_prefetch.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/format/sevenz/sevenz_aes.h"
#include "engine/format/sevenz/sevenz_folder.h"

namespace cindral::format::sevenz {

// A folder decoded on a thread of its own into a bounded queue of chunks.
class DecodeAheadStream final : public codec::InStream {
 public:
  static constexpr size_t kChunkSize = 1 << 18;
  static constexpr size_t kMaxQueued = 16;  // 4 MiB ahead per folder

  DecodeAheadStream(ArchiveSource& source, const StreamsInfo& streams, const Folder& folder,
                    uint64_t length, const DecodeContext& context)
      : thread_([this, &source, &streams, &folder, length, context] {
          Run(source, streams, folder, length, context);
        }) {}

  ~DecodeAheadStream() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      if (position_ == current_.size() && !NextChunk()) break;
      const size_t count = std::min(size - done, current_.size() - position_);
      std::memcpy(data + done, current_.data() + position_, count);
      position_ += count;
      done += count;
    }
    return done;
  }

 private:
  bool NextChunk() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !queue_.empty() || finished_; });
    if (queue_.empty()) {
      if (error_) std::rethrow_exception(error_);
      return false;
    }
    current_ = std::move(queue_.front());
    queue_.pop_front();
    position_ = 0;
    changed_.notify_all();
    return true;
  }

  void Run(ArchiveSource& source, const StreamsInfo& streams, const Folder& folder, uint64_t length,
           DecodeContext context) {
    std::exception_ptr error;
    try {
      FolderDecoder decoder(source, streams, folder, context);
      while (length != 0) {
        std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kChunkSize, length)));
        const size_t got = decoder.Output().Read(chunk.data(), chunk.size());
        chunk.resize(got);
        length -= got;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return queue_.size() < kMaxQueued || cancelled_; });
        if (cancelled_) return;
        if (got != 0) queue_.push_back(std::move(chunk));
        changed_.notify_all();
        if (got == 0) break;
      }
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    error_ = error;
    finished_ = true;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> queue_;
  bool finished_ = false;
  bool cancelled_ = false;
  std::exception_ptr error_;
  std::vector<uint8_t> current_;
  size_t position_ = 0;
  std::thread thread_;  // last: starts once everything above exists
};

FolderPrefetcher::FolderPrefetcher(ArchiveSource& source, const StreamsInfo& streams,
                                   std::vector<FolderRequest> requests, KeyCache& keys,
                                   unsigned threads)
    : source_(source),
      streams_(streams),
      requests_(std::move(requests)),
      keys_(keys),
      threads_(std::max(1u, threads)) {
  if (threads_ == 1 || requests_.size() < 2) return;
  // The sink may only be called from one thread at a time: ask here, before
  // any decoding thread could need the password.
  const bool any_encrypted = std::any_of(requests_.begin(), requests_.end(), [&](const auto& r) {
    return IsEncrypted(streams_.folders[r.folder]);
  });
  if (any_encrypted) keys_.AskPassword();
  while (ahead_.size() < threads_ && started_ < requests_.size()) StartNext();
}

FolderPrefetcher::~FolderPrefetcher() = default;

void FolderPrefetcher::StartNext() {
  const FolderRequest& request = requests_[started_++];
  const DecodeContext context{1, &keys_};
  ahead_.push_back(std::make_unique<DecodeAheadStream>(
      source_, streams_, streams_.folders[request.folder], request.length, context));
}

codec::InStream& FolderPrefetcher::Open(uint32_t folder) {
  current_decoder_.reset();
  current_ahead_.reset();
  if (ahead_.empty()) {
    // One folder, or one thread: decode in place, giving the coders every thread.
    ++started_;
    const DecodeContext context{threads_, &keys_};
    current_decoder_ =
        std::make_unique<FolderDecoder>(source_, streams_, streams_.folders[folder], context);
    return current_decoder_->Output();
  }
  current_ahead_ = std::move(ahead_.front());
  ahead_.pop_front();
  if (started_ < requests_.size()) StartNext();
  return *current_ahead_;
}

}  // namespace cindral::format::sevenz
