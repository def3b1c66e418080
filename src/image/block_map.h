// The stretches of addresses a block file's data covers, in memory that does not grow with it.
#ifndef KV2PELMO_IMAGE_BLOCK_MAP_H_
#define KV2PELMO_IMAGE_BLOCK_MAP_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>

namespace kv2pelmo {

/// Notes the records of a pass, for a description of the image. Records
/// that follow one another grow one open stretch; the stretches closed go
/// to a small table, merged and in address order, and only when more lie
/// apart than it holds, to a bitmap of every address a record can reach
/// (4 MiB, touched only where marked) with a summary of its words in use.
/// Memory never grows with the number of records, and describing them
/// costs what the stretches found cost.
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
  // Stretches lying apart that the table holds before the bitmap is used.
  static constexpr std::size_t kStretches = 64;
  struct Free {
    void operator()(std::uint64_t* bits) const { std::free(bits); }
  };
  struct Stretch {
    std::int64_t start;
    std::int64_t end;
  };
  void Close();
  bool Insert(std::int64_t start, std::int64_t end);
  void Mark(std::int64_t start, std::int64_t end);
  void Walk(const std::function<void(std::int64_t, std::int64_t)>& each) const;

  std::uint64_t records_ = 0;
  std::int64_t open_start_ = 0;
  std::int64_t open_end_ = 0;
  // Disjoint, none touching another, in address order.
  std::array<Stretch, kStretches> stretches_{};
  std::size_t stretch_count_ = 0;
  // The bitmap's words, then one bit for each that is not zero.
  std::unique_ptr<std::uint64_t[], Free> bits_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IMAGE_BLOCK_MAP_H_
