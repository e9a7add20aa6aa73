#include "engine/format/sevenz/sevenz_prefetch.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>

#include "engine/format/sevenz/sevenz_aes.h"
#include "engine/format/sevenz/sevenz_folder.h"

namespace cindral::format::sevenz {

// A folder decoded by a task of the job's pool into a bounded queue of
// chunks. The queue lives apart from the stream, shared with the task, so a
// stream can go while its task still waits in the pool's queue: the task
// then finds it cancelled and leaves.
class DecodeAheadStream final : public codec::InStream {
 public:
  static constexpr size_t kChunkSize = 1 << 18;
  static constexpr size_t kMaxQueued = 16;  // 4 MiB ahead per folder

  DecodeAheadStream(codec::ThreadPool& pool, ArchiveSource& source, const StreamsInfo& streams,
                    const Folder& folder, uint64_t length, const DecodeContext& context)
      : state_(std::make_shared<State>()) {
    pool.Submit([state = state_, &source, &streams, &folder, length, context] {
      Run(*state, source, streams, folder, length, context);
    });
  }

  ~DecodeAheadStream() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->cancelled = true;
    }
    state_->changed.notify_all();
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
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> queue;
    bool finished = false;
    bool cancelled = false;
    std::exception_ptr error;
  };

  bool NextChunk() {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    state.changed.wait(lock, [&] { return !state.queue.empty() || state.finished; });
    if (state.queue.empty()) {
      if (state.error) std::rethrow_exception(state.error);
      return false;
    }
    current_ = std::move(state.queue.front());
    state.queue.pop_front();
    position_ = 0;
    state.changed.notify_all();
    return true;
  }

  static void Run(State& state, ArchiveSource& source, const StreamsInfo& streams,
                  const Folder& folder, uint64_t length, DecodeContext context) {
    std::exception_ptr error;
    try {
      {
        std::lock_guard lock(state.mutex);
        if (state.cancelled) return;
      }
      FolderDecoder decoder(source, streams, folder, context);
      while (length != 0) {
        std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kChunkSize, length)));
        const size_t got = decoder.Output().Read(chunk.data(), chunk.size());
        chunk.resize(got);
        length -= got;
        std::unique_lock lock(state.mutex);
        state.changed.wait(lock,
                           [&] { return state.queue.size() < kMaxQueued || state.cancelled; });
        if (state.cancelled) return;
        if (got != 0) state.queue.push_back(std::move(chunk));
        state.changed.notify_all();
        if (got == 0) break;
      }
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(state.mutex);
    state.error = error;
    state.finished = true;
    state.changed.notify_all();
  }

  std::shared_ptr<State> state_;
  std::vector<uint8_t> current_;
  size_t position_ = 0;
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
  pool_.emplace(threads_);
  StartAhead();
}

FolderPrefetcher::~FolderPrefetcher() = default;

// Starts the next large folders not yet opened, up to one per thread.
void FolderPrefetcher::StartAhead() {
  considered_ = std::max(considered_, opened_);
  for (; ahead_.size() < threads_ && considered_ < requests_.size(); ++considered_) {
    const FolderRequest& request = requests_[considered_];
    if (request.length < codec::kDecodeOnPoolFrom) continue;
    const DecodeContext context{1, &keys_};
    ahead_.push_back({considered_, std::make_unique<DecodeAheadStream>(
                                       *pool_, source_, streams_, streams_.folders[request.folder],
                                       request.length, context)});
  }
}

codec::InStream& FolderPrefetcher::Open(uint32_t folder) {
  current_decoder_.reset();
  current_ahead_.reset();
  const size_t request = opened_++;
  if (!ahead_.empty() && ahead_.front().request == request) {
    current_ahead_ = std::move(ahead_.front().stream);
    ahead_.pop_front();
    StartAhead();
    return *current_ahead_;
  }
  // In place: without a pool (one folder, or one thread) the coders get every
  // thread; beside one, the pool's threads are busy with the folders ahead.
  const DecodeContext context{pool_ ? 1 : threads_, &keys_};
  current_decoder_ =
      std::make_unique<FolderDecoder>(source_, streams_, streams_.folders[folder], context);
  if (pool_) StartAhead();
  return current_decoder_->Output();
}

}  // namespace cindral::format::sevenz
