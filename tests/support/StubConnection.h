// A desk connection that is only an address and a port: it sends nothing, reads nothing and never
// closes, for tests of the slot table and admission that need a session without a socket.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/untServerSocket.h"

namespace testsupport {

class TStubConnection : public TServerConnection {
 public:
  TStubConnection(std::string sAddressIn, int nPortIn) : sAddress(std::move(sAddressIn)), nPort(nPortIn) {}
  std::string RemoteAddress() const override { return sAddress; }
  int RemotePort() const override { return nPort; }
  int SendText(const std::string&) override { return 0; }
  int SendShared(const std::shared_ptr<const std::string>&, std::span<const std::string_view>) override { return 0; }
  std::string ReceiveText() override { return ""; }
  size_t QueuedBytes() const override { return 0; }
  void SetDeadline(int) override {}
  void Close() override {}

 private:
  std::string sAddress;
  int nPort;
};

}  // namespace testsupport
