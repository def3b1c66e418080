// The stretches of addresses a block file's data covers, in memory that does not grow with it.
#ifndef KV2PELMO_IMAGE_BLOCK_MAP_H_
#define KV2PELMO_IMAGE_BLOCK_MAP_H_

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>

namespace kv2pelmo {

/// Notes the records of a pass, for a description of the image. Records
/// that follow one another grow one open stretch; any other is marked in a
/// bitmap of every address a record can reach (4 MiB, touched only where
/// marked), so memory never grows with the number of records.
class BlockMap {
 public:
  /// Notes a valid record.
  void Add(std::int32_t address, std::int32_t length);
  /// Returns the records noted, empty ones included.
  std::uint64_t Records() const { return records_; }
  /// Calls each with [start, end) of every stretch the data covers, merged
  /// where stretches touch or overlap, in address order.
  void ForEachRange(const std::function<void(std::int64_t, std::int64_t)>& each);

 private:
  struct Free {
    void operator()(std::uint64_t* bits) const { std::free(bits); }
  };
  void Mark(std::int64_t start, std::int64_t end);

  std::uint64_t records_ = 0;
  std::int64_t open_start_ = 0;
  std::int64_t open_end_ = 0;
  std::unique_ptr<std::uint64_t[], Free> bits_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IMAGE_BLOCK_MAP_H_
