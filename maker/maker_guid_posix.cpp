#include "maker/maker_guid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tsl {

namespace {

bool random_bytes(uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = getrandom(out + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  if (done == size) return true;
  // Kernels without getrandom still have the device.
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  done = 0;
  while (done < size) {
    ssize_t got = read(fd, out + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  close(fd);
  return done == size;
}

}  // namespace

bool make_system_guid(guid_fields& guid) {
  uint8_t bytes[16];
  if (!random_bytes(bytes, sizeof bytes)) return false;
  // Version 4 (random) and the RFC 4122 variant, as CoCreateGuid makes them.
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  guid.data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  guid.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid.data4, bytes + 8, 8);
  return true;
}

}  // namespace tsl
