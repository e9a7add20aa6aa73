// Hands out the decoded bytes of the folders an extraction needs, in order.
// With several threads, the next folders are decoded ahead by one pool of
// threads started once for the whole extraction, each folder at most a few
// megabytes ahead of the reader. Small folders are decoded in place: handing
// one to another thread costs more than decoding it, most of all under Wine,
// where every wait and wake is a call to its server.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/codec/stream.h"
#include "engine/codec/worker_threads.h"
#include "engine/format/archive.h"
#include "engine/format/sevenz/sevenz_header.h"

namespace cindral::format::sevenz {

class KeyCache;
class FolderDecoder;
class DecodeAheadStream;

struct FolderRequest {
  uint32_t folder;
  uint64_t length;  // the folder's bytes up to the end of its last requested item
};

class FolderPrefetcher {
 public:
  FolderPrefetcher(ArchiveSource& source, const StreamsInfo& streams,
                   std::vector<FolderRequest> requests, KeyCache& keys, unsigned threads);
  ~FolderPrefetcher();

  // Folders must be opened in the order of the requests; opening one ends the
  // previous one. Decoding errors surface from the stream's Read.
  codec::InStream& Open(uint32_t folder);

 private:
  struct Ahead {
    size_t request;
    std::unique_ptr<DecodeAheadStream> stream;
  };

  void StartAhead();

  ArchiveSource& source_;
  const StreamsInfo& streams_;
  std::vector<FolderRequest> requests_;
  KeyCache& keys_;
  unsigned threads_;
  size_t opened_ = 0;      // requests opened so far
  size_t considered_ = 0;  // requests looked at for decoding ahead
  // Before the streams: their tasks are cancelled before the pool waits for them.
  std::optional<codec::ThreadPool> pool_;
  std::unique_ptr<FolderDecoder> current_decoder_;
  std::unique_ptr<DecodeAheadStream> current_ahead_;
  std::deque<Ahead> ahead_;
};

}  // namespace cindral::format::sevenz
