// What the parts of an outlet share: the declaration it publishes (fixed
// once the ports are bound) and the samples waiting for its consumers.
#pragma once

#include "core/config.h"
#include "core/sample_ring.h"
#include "core/stream_info.h"

#include <pugixml.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

namespace maroquint::lsl::net {

struct Published {
  core::StreamInfo info;
  std::string short_xml;
  std::string full_xml;
  // The streamfeed handshake: header and test patterns.
  std::string ok_reply;
  // The full declaration as a document, for evaluating queries.
  pugi::xml_document query_doc;
};

// Encoded samples shared by the pushing threads and the consumer sessions.
struct SampleFeed {
  SampleFeed(std::size_t capacity, std::size_t max_bytes) : ring(capacity, max_bytes) {}

  std::mutex mutex;
  std::condition_variable consumers_changed;
  core::SampleRing ring;  // guarded by mutex
  int consumers = 0;      // guarded by mutex
  std::atomic<int> consumer_count{0};
};

}  // namespace maroquint::lsl::net
