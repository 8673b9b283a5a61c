#include "net/socket.h"

#include <cstdlib>

namespace pmr::net {

std::string Socket::PeerAddress() const { return Peer().address; }

uint16_t Socket::PeerPort() const { return Peer().port; }

std::string OwnAddress() {
  if (const char* forced = std::getenv("PMRFACE_HOST_ADDRESS"); forced && *forced) {
    return forced;
  }
  std::vector<std::string> addresses = ResolveIPv4(LocalHostName());
  // ResolveIPv4 raises rather than return an empty list.
  return addresses.front();
}

}  // namespace pmr::net
