// Preloaded into each emulated 32-bit wine process: reserves the ranges wine keeps for Windows.
//
// Wine's own preloader does this before anything else is mapped; under
// qemu-i386 it cannot run, and without it wine probes the address space in
// tens of thousands of mmap calls (qemu 7.2 ignores MAP_FIXED_NOREPLACE), a
// minute per process. This library runs before wine's main, reserves the free
// parts of those ranges and lists them in wine_main_preload_info, where wine
// looks. Built freestanding for i386: no 32-bit C library is needed.

namespace {

struct Range {
  unsigned long start;
  unsigned long size;
};

// What wine's preloader reserves on i386: the low 64 KiB, the DOS area, the
// low memory area, and the top-down area with the shared heaps.
constexpr Range kWanted[] = {
    {0x00000000, 0x00010000},
    {0x00010000, 0x00100000},
    {0x00110000, 0x67ef0000},
    {0x7f000000, 0x03000000},
};

// Wine reads a list of these, ended by an empty one.
struct PreloadArea {
  void* address;
  unsigned long size;
};

constexpr int kMostAreas = 64;
PreloadArea g_areas[kMostAreas + 1];
char g_maps[1 << 16];

constexpr long kRead = 3;
constexpr long kOpen = 5;
constexpr long kClose = 6;
constexpr long kOldMmap = 90;  // takes its six arguments through one pointer
constexpr long kMunmap = 91;

long Syscall(long number, long a, long b = 0, long c = 0) {
  long result;
  asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
  return result;
}

// Reads a hexadecimal number at text, leaving text after it.
unsigned long Hex(const char*& text) {
  unsigned long value = 0;
  for (;; ++text) {
    const char c = *text;
    if (c >= '0' && c <= '9') {
      value = value * 16 + static_cast<unsigned long>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value = value * 16 + static_cast<unsigned long>(c - 'a' + 10);
    } else {
      return value;
    }
  }
}

// Reserves [start, start + size) inaccessible; true when it was had there.
bool Reserve(unsigned long start, unsigned long size) {
  constexpr long kPrivateAnonymousNoReserve = 0x02 | 0x20 | 0x4000;
  const long args[6] = {
      static_cast<long>(start), static_cast<long>(size), 0, kPrivateAnonymousNoReserve, -1, 0};
  const auto got = static_cast<unsigned long>(Syscall(kOldMmap, reinterpret_cast<long>(args)));
  if (got == start) return true;
  if (got < 0xFFFFF000UL) Syscall(kMunmap, static_cast<long>(got), static_cast<long>(size));
  return false;
}

// Reads this process's mappings, in address order, into g_maps.
bool ReadMappings() {
  const long fd = Syscall(kOpen, reinterpret_cast<long>("/proc/self/maps"));
  if (fd < 0) return false;
  unsigned long length = 0;
  for (long got = 1; got > 0 && length < sizeof g_maps - 1;
       length += static_cast<unsigned long>(got)) {
    got = Syscall(kRead, fd, reinterpret_cast<long>(g_maps + length),
                  static_cast<long>(sizeof g_maps - 1 - length));
    if (got < 0) got = 0;
  }
  Syscall(kClose, fd);
  g_maps[length] = '\0';
  return length < sizeof g_maps - 1;  // a cut list could hide a mapping
}

// Reserves the free pieces of wanted, between the mappings in g_maps.
void ReserveFreePieces(const Range& wanted, int& count) {
  const unsigned long end = wanted.start + wanted.size;
  unsigned long from = wanted.start;
  for (const char* line = g_maps; from < end && count < kMostAreas;) {
    unsigned long busy_start = end;
    unsigned long busy_end = end;
    while (*line != '\0') {
      const char* text = line;
      const unsigned long start = Hex(text);
      ++text;  // the dash
      const unsigned long stop = Hex(text);
      while (*line != '\0' && *line++ != '\n') {
      }
      if (stop > from) {
        busy_start = start < end ? start : end;
        busy_end = stop;
        break;
      }
    }
    if (busy_start > from && Reserve(from, busy_start - from)) {
      g_areas[count++] = {reinterpret_cast<void*>(from), busy_start - from};
    }
    from = busy_end;
  }
}

}  // namespace

extern "C" {
// Found by wine with dlsym; left empty, wine reserves the ranges itself.
__attribute__((visibility("default"))) const PreloadArea* wine_main_preload_info = nullptr;
}

namespace {

__attribute__((constructor)) void ReserveWineRanges() {
  if (!ReadMappings()) return;
  int count = 0;
  for (const Range& wanted : kWanted) ReserveFreePieces(wanted, count);
  wine_main_preload_info = g_areas;
}

}  // namespace
